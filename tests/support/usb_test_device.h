// A small USB device for the bus tests: one interface with three alternate
// settings (isochronous IN packets of 0, 128 and 1023 bytes) plus an
// interrupt IN, a bulk IN and a bulk OUT pipe in every setting; each hook
// can be replaced by a test, and every call is recorded.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/host/scheduler.h"
#include "platform/host/usb_bus.h"
#include "platform/host/usb_device_model.h"

namespace veltocam::testing {

using host::UsbIsoPacket;
using host::UsbReply;
using host::UsbSetupPacket;

// Builds descriptor bytes in wire order.
class DescriptorBuilder {
 public:
  DescriptorBuilder& Configuration(UCHAR value, UCHAR interfaces) {
    bytes_.insert(bytes_.end(),
                  {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, interfaces, value, 0, 0x80, 50});
    return *this;
  }
  DescriptorBuilder& Interface(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR cls = 0xFF) {
    bytes_.insert(bytes_.end(),
                  {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, 0, 0, 0});
    return *this;
  }
  DescriptorBuilder& Endpoint(UCHAR address, UCHAR type, USHORT maxPacket, UCHAR interval = 1) {
    bytes_.insert(bytes_.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type,
                                 static_cast<UCHAR>(maxPacket & 0xFF),
                                 static_cast<UCHAR>(maxPacket >> 8), interval});
    return *this;
  }
  DescriptorBuilder& Raw(std::initializer_list<UCHAR> bytes) {
    bytes_.insert(bytes_.end(), bytes);
    return *this;
  }
  // Sets wTotalLength to the bytes so far (or to `total`).
  std::vector<UCHAR> Build(int total = -1) const {
    std::vector<UCHAR> out = bytes_;
    const auto length = static_cast<USHORT>(total < 0 ? out.size() : total);
    out[2] = static_cast<UCHAR>(length & 0xFF);
    out[3] = static_cast<UCHAR>(length >> 8);
    return out;
  }

 private:
  std::vector<UCHAR> bytes_;
};

constexpr UCHAR kIsoIn = 0x81;
constexpr UCHAR kInterruptIn = 0x82;
constexpr UCHAR kBulkOut = 0x03;
constexpr UCHAR kBulkIn = 0x84;
constexpr USHORT kIsoPacketSizes[3] = {0, 128, 1023};

inline std::vector<UCHAR> CameraLikeConfiguration() {
  DescriptorBuilder b;
  b.Configuration(1, 1);
  for (UCHAR alt = 0; alt < 3; ++alt) {
    b.Interface(0, alt, 4)
        .Endpoint(kIsoIn, USB_ENDPOINT_TYPE_ISOCHRONOUS, kIsoPacketSizes[alt])
        .Endpoint(kInterruptIn, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10)
        .Endpoint(kBulkOut, USB_ENDPOINT_TYPE_BULK, 64, 0)
        .Endpoint(kBulkIn, USB_ENDPOINT_TYPE_BULK, 64, 0);
  }
  return b.Build();
}

class TestDevice : public host::UsbDeviceModel {
 public:
  std::vector<UCHAR> configuration = CameraLikeConfiguration();
  std::function<UsbReply(const UsbSetupPacket&, std::span<UCHAR>)> onControl;
  std::function<UsbIsoPacket(UCHAR, ULONG, std::span<UCHAR>)> onIsoIn;
  std::function<UsbReply(UCHAR, std::span<UCHAR>)> onIn;
  std::function<UsbReply(UCHAR, std::span<const UCHAR>)> onOut;
  std::function<UsbReply(UCHAR, UCHAR)> onSetInterface;
  UsbReply configurationReply = UsbReply::Done();
  UsbReply portStatusReply = UsbReply::Done();
  UsbReply resetPortReply = UsbReply::Done();

  // What the device saw.
  std::vector<UsbSetupPacket> setups;
  std::vector<std::vector<UCHAR>> outData;         // data stages of host-to-device requests
  std::vector<std::pair<UCHAR, ULONG>> isoFrames;  // (endpoint, frame)
  std::vector<int> configurations;
  std::vector<std::pair<UCHAR, UCHAR>> interfaces;
  std::vector<std::string> events;  // "abort 81", "reset 82", "port reset", ...
  host::UsbHost* host = nullptr;

  std::vector<UCHAR> DeviceDescriptor() const override {
    return {18,   USB_DEVICE_DESCRIPTOR_TYPE,
            0x10, 0x01,
            0xFF, 0xFF,
            0xFF, 8,
            0x34, 0x12,
            0x78, 0x56,
            0x00, 0x01,
            0,    0,
            0,    1};
  }
  std::vector<UCHAR> ConfigurationDescriptor(UCHAR index) const override {
    return index == 0 ? configuration : std::vector<UCHAR>{};
  }
  UsbReply ControlTransfer(const UsbSetupPacket& setup, std::span<UCHAR> data) override {
    setups.push_back(setup);
    if (!setup.DeviceToHost()) outData.emplace_back(data.begin(), data.end());
    if (onControl) return onControl(setup, data);
    return UsbDeviceModel::ControlTransfer(setup, data);
  }
  UsbReply SetConfiguration(UCHAR value) override {
    configurations.push_back(value);
    return configurationReply;
  }
  UsbReply SetInterface(UCHAR number, UCHAR alternate) override {
    interfaces.emplace_back(number, alternate);
    return onSetInterface ? onSetInterface(number, alternate) : UsbReply::Done();
  }
  UsbIsoPacket IsochInPacket(UCHAR endpoint, ULONG frame, std::span<UCHAR> packet) override {
    isoFrames.emplace_back(endpoint, frame);
    if (onIsoIn) return onIsoIn(endpoint, frame, packet);
    // By default: the frame number in every byte, a full packet.
    for (UCHAR& b : packet) b = static_cast<UCHAR>(frame);
    return {USBD_STATUS_SUCCESS, static_cast<ULONG>(packet.size())};
  }
  UsbReply BulkOrInterruptIn(UCHAR endpoint, std::span<UCHAR> buffer) override {
    return onIn ? onIn(endpoint, buffer) : UsbReply::NeverAnswer();
  }
  UsbReply BulkOrInterruptOut(UCHAR endpoint, std::span<const UCHAR> data) override {
    outData.emplace_back(data.begin(), data.end());
    return onOut ? onOut(endpoint, data) : UsbReply::Done(static_cast<ULONG>(data.size()));
  }
  void PipeAborted(UCHAR endpoint) override { events.push_back("abort " + Hex(endpoint)); }
  void PipeReset(UCHAR endpoint) override { events.push_back("reset " + Hex(endpoint)); }
  UsbReply ResetPort() override {
    events.emplace_back("port reset");
    return resetPortReply;
  }
  UsbReply QueryPortStatus() override { return portStatusReply; }
  void Attached(host::UsbHost& h) override { host = &h; }
  void Detached() override {
    host = nullptr;
    events.emplace_back("detached");
  }

 private:
  static std::string Hex(UCHAR value) {
    const char* digits = "0123456789abcdef";
    return {digits[value >> 4], digits[value & 15]};
  }
};

// The bus with the test device plugged in, configured in alternate setting 0
// (or another) as the class layer would.
class ConfiguredBus {
 public:
  ConfiguredBus() { bus.Attach(device); }

  // Selects configuration 1 with interface 0 in `alternate`; the pipes the bus
  // reported land in `pipes`. Returns the request's NT status.
  NTSTATUS Configure(UCHAR alternate = 0);
  USBD_PIPE_HANDLE Pipe(UCHAR address) const {
    for (const USBD_PIPE_INFORMATION& p : pipes) {
      if (p.EndpointAddress == address) return p.PipeHandle;
    }
    return nullptr;
  }
  USHORT MaxPacket(UCHAR address) const {
    for (const USBD_PIPE_INFORMATION& p : pipes) {
      if (p.EndpointAddress == address) return p.MaximumPacketSize;
    }
    return 0;
  }

  TestDevice device;  // outlives the bus, which unplugs it when destroyed
  host::UsbBus bus;
  USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
  std::vector<USBD_PIPE_INFORMATION> pipes;
};

// A driver-owned packet aimed at the bus, with a completion routine that
// records how (and how often) it came back and keeps it for reuse.
class UrbSender {
 public:
  explicit UrbSender(DEVICE_OBJECT* bus) : bus_(bus), irp_(IoAllocateIrp(bus->StackSize, FALSE)) {}
  ~UrbSender() { IoFreeIrp(irp_); }
  UrbSender(const UrbSender&) = delete;
  UrbSender& operator=(const UrbSender&) = delete;

  NTSTATUS Send(URB* urb, ULONG ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB) {
    IoReuseIrp(irp_, STATUS_SUCCESS);
    completions = 0;
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp_, &UrbSender::Completed, this, TRUE, TRUE, TRUE);
    return IoCallDriver(bus_, irp_);
  }
  IRP* Irp() const { return irp_; }
  bool Done() const { return completions > 0; }

  int completions = 0;
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql = 0xFF;
  std::uint64_t time = 0;

 private:
  static NTSTATUS Completed(DEVICE_OBJECT*, IRP* irp, PVOID context) {
    auto* self = static_cast<UrbSender*>(context);
    ++self->completions;
    self->status = irp->IoStatus.Status;
    self->irql = KeGetCurrentIrql();
    self->time = host::Now();
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  DEVICE_OBJECT* bus_;
  IRP* irp_;
};

inline NTSTATUS ConfiguredBus::Configure(UCHAR alternate) {
  auto* descriptor = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(device.configuration.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, alternate, -1, -1, -1);
  URB* urb = USBD_CreateConfigurationRequestEx(descriptor, list);
  UrbSender sender(bus.DeviceObject());
  NTSTATUS status = sender.Send(urb);
  if (status == STATUS_PENDING) host::RunUntilIdle();
  status = sender.status;
  if (NT_SUCCESS(status)) {
    configurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    const USBD_PIPE_INFORMATION* reported = list[0].Interface->Pipes;
    pipes.assign(reported, reported + list[0].Interface->NumberOfPipes);
  }
  ExFreePool(urb);
  return status;
}

// URB storage of any size, aligned for the records inside it.
class UrbBuffer {
 public:
  explicit UrbBuffer(std::size_t bytes) : words_((bytes + 7) / 8 + 1, 0) {
    Urb()->UrbHeader.Length = static_cast<USHORT>(bytes);
  }
  URB* Urb() { return reinterpret_cast<URB*>(words_.data()); }
  URB* operator->() { return Urb(); }

 private:
  std::vector<std::uint64_t> words_;
};

inline UrbBuffer VendorRequest(bool in, UCHAR request, USHORT value, USHORT index, PVOID buffer,
                               ULONG length) {
  UrbBuffer urb(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  urb->UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
  auto& v = urb->UrbControlVendorClassRequest;
  v.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
  v.TransferBuffer = buffer;
  v.TransferBufferLength = length;
  v.Request = request;
  v.Value = value;
  v.Index = index;
  return urb;
}

inline UrbBuffer DescriptorRequest(UCHAR type, PVOID buffer, ULONG length) {
  UrbBuffer urb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb.Urb(), sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                               buffer, nullptr, length, nullptr);
  return urb;
}

inline UrbBuffer PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
  UrbBuffer urb(sizeof(_URB_PIPE_REQUEST));
  urb->UrbHeader.Function = function;
  urb->UrbPipeRequest.PipeHandle = pipe;
  return urb;
}

inline UrbBuffer BulkTransfer(USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length) {
  UrbBuffer urb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
  urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  auto& t = urb->UrbBulkOrInterruptTransfer;
  t.PipeHandle = pipe;
  t.TransferFlags = USBD_SHORT_TRANSFER_OK;
  t.TransferBuffer = buffer;
  t.TransferBufferLength = length;
  return urb;
}

// An isochronous IN transfer laid out as the frame engine does: packet i at
// i x packetSize of one buffer, start as soon as possible.
class IsoTransfer {
 public:
  IsoTransfer(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packetSize)
      : urb_(GET_ISO_URB_SIZE(packets)), buffer_(packets * packetSize, 0xEE) {
    urb_->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    auto& t = urb_->UrbIsochronousTransfer;
    t.PipeHandle = pipe;
    t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    t.TransferBuffer = buffer_.data();
    t.TransferBufferLength = static_cast<ULONG>(buffer_.size());
    t.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) Packet(i).Offset = i * packetSize;
  }
  URB* Urb() { return urb_.Urb(); }
  URB* operator->() { return urb_.Urb(); }
  _URB_ISOCH_TRANSFER& Transfer() { return urb_->UrbIsochronousTransfer; }
  USBD_ISO_PACKET_DESCRIPTOR& Packet(ULONG i) {
    USBD_ISO_PACKET_DESCRIPTOR* packets = urb_->UrbIsochronousTransfer.IsoPacket;
    return packets[i];
  }
  std::vector<UCHAR>& Buffer() { return buffer_; }

 private:
  UrbBuffer urb_;
  std::vector<UCHAR> buffer_;
};

}  // namespace veltocam::testing
