// A USB device as the host bus sees it. The simulated camera (and the small
// devices of the tests) implement UsbDeviceModel; the host USB bus (usb_bus.h)
// is its only caller and the one place where the driver's requests meet it.
//
// Threading: the bus calls a model from one thread at a time (its deferred
// procedure call in either scheduler mode, at DISPATCH_LEVEL; Attached and
// Detached from the thread that plugs or unplugs the device). A model must not
// block or wait on kernel objects; it may call back into its UsbHost at any
// time, from any thread.
//
// Time: the bus keeps USB frames of 1 ms of scheduler time (virtual in tests,
// the wall clock in real time); delays are in 100 ns units of the same time.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/usb.h"

namespace veltocam::host {

// The eight bytes of a control transfer's setup stage.
struct UsbSetupPacket {
  UCHAR bmRequestType;  // bit 7: device to host; bits 6..5: standard/class/vendor
  UCHAR bRequest;
  USHORT wValue;
  USHORT wIndex;
  USHORT wLength;

  bool DeviceToHost() const { return (bmRequestType & 0x80) != 0; }
};

constexpr UCHAR USB_REQUEST_GET_DESCRIPTOR = 0x06;
constexpr UCHAR USB_REQUEST_TYPE_VENDOR_DEVICE = 0x40;

// How a request ends: its USB status, the bytes of its data stage and when.
struct UsbReply {
  enum class When {
    After,         // after `delay` (0: at the bus's next pump)
    Never,         // the device never answers (NAKs forever); only a cancel,
                   // an abort, a port reset or an unplug ends the request
    WhenDataReady  // bulk and interrupt IN only: ask again after the model
                   // calls UsbHost::DataReady for the endpoint (e.g. a button)
  };

  USBD_STATUS status = USBD_STATUS_SUCCESS;
  ULONG bytes = 0;  // data stage: IN bytes written to the buffer, OUT bytes taken
  When when = When::After;
  std::int64_t delay = 0;  // 100 ns units

  static UsbReply Done(ULONG bytes = 0) { return {USBD_STATUS_SUCCESS, bytes, When::After, 0}; }
  // The device answers with a STALL handshake: the request fails with
  // USBD_STATUS_STALL_PID; a bulk or interrupt pipe halts until it is reset.
  static UsbReply Stall() { return {USBD_STATUS_STALL_PID, 0, When::After, 0}; }
  static UsbReply Fail(USBD_STATUS status) { return {status, 0, When::After, 0}; }
  static UsbReply NeverAnswer() { return {USBD_STATUS_SUCCESS, 0, When::Never, 0}; }
  static UsbReply WaitForData() { return {USBD_STATUS_SUCCESS, 0, When::WhenDataReady, 0}; }

  // The same answer `hundredNanoseconds` later.
  UsbReply After(std::int64_t hundredNanoseconds) const {
    UsbReply late = *this;
    late.delay = hundredNanoseconds;
    return late;
  }
};

// One isochronous IN packet as the device sent it in its frame.
struct UsbIsoPacket {
  USBD_STATUS status = USBD_STATUS_SUCCESS;  // an error counts in the URB's ErrorCount
  ULONG length = 0;                          // bytes written; 0 is a valid empty packet
};

// What a model may ask of the bus it is plugged into.
class UsbHost {
 public:
  // The USB frame in progress (1 ms frames of scheduler time).
  virtual ULONG CurrentFrame() const = 0;
  // New data for bulk or interrupt IN transfers the model answered with
  // WaitForData on this endpoint: the bus asks again at its next pump.
  virtual void DataReady(UCHAR endpointAddress) = 0;
  // The port stops carrying traffic (as after babble) until the driver
  // resets it: control and bulk requests fail with
  // USBD_STATUS_DEV_NOT_RESPONDING, isochronous packets from the next frame on
  // fail, and the port status loses USBD_PORT_ENABLED.
  virtual void DisablePort() = 0;
  // The device disappears at the bus's next pump (as UsbBus::Detach).
  virtual void Unplug() = 0;

 protected:
  ~UsbHost() = default;
};

class UsbDeviceModel {
 public:
  virtual ~UsbDeviceModel() = default;

  // ---- Descriptors --------------------------------------------------------
  // The 18-byte device descriptor.
  virtual std::vector<UCHAR> DeviceDescriptor() const = 0;
  // Configuration `index` (0 .. bNumConfigurations - 1) with its interface
  // and endpoint descriptors (wTotalLength bytes); empty when there is none.
  // The bus reads every configuration once, when the device is plugged in,
  // to know its interfaces and pipes.
  virtual std::vector<UCHAR> ConfigurationDescriptor(UCHAR index) const = 0;
  // String descriptor `index` in language `languageId`; empty: none (stall).
  virtual std::vector<UCHAR> StringDescriptor(UCHAR index, USHORT languageId) const;

  // ---- Control transfers on the default pipe ------------------------------
  // Every control transfer: descriptor reads (URB_FUNCTION_GET_DESCRIPTOR_
  // FROM_DEVICE become standard GET_DESCRIPTOR requests) and vendor requests.
  // `data` has setup.wLength bytes: for device-to-host requests the model
  // writes its answer there and returns the bytes written (fewer is a short
  // answer); for host-to-device requests it holds the bytes the host sent.
  // Control transfers reach the model one at a time, in submission order: the
  // next waits until the previous one has completed (or was cancelled).
  // The default serves standard GET_DESCRIPTOR requests from the descriptor
  // functions above and stalls everything else; a model that overrides it
  // calls it for the requests it does not handle itself.
  virtual UsbReply ControlTransfer(const UsbSetupPacket& setup, std::span<UCHAR> data);

  // ---- Configuration ------------------------------------------------------
  // SET_CONFIGURATION (0 = unconfigured). A failing reply refuses it: the
  // request fails with that status and the bus keeps its previous state.
  // The bus applies a selection (new pipes) when the request completes.
  virtual UsbReply SetConfiguration(UCHAR configurationValue);
  // SET_INTERFACE, sent for a select-interface request and, during a select-
  // configuration request, for every interface whose chosen alternate setting
  // is not 0. Refusal and timing as SetConfiguration.
  virtual UsbReply SetInterface(UCHAR interfaceNumber, UCHAR alternateSetting);

  // ---- Isochronous pipes --------------------------------------------------
  // The IN packet the device sends on `endpointAddress` in USB frame `frame`.
  // Asked when the transfer covering that frame completes (at the end of its
  // last frame), in increasing frame order for one endpoint; frames that no
  // transfer covered are never asked for: the device sent them to nobody.
  // `packet` has the maximum packet size of the endpoint in the current
  // alternate setting; a longer length than the driver's packet buffer holds
  // fails the packet with USBD_STATUS_DATA_OVERRUN.
  virtual UsbIsoPacket IsochInPacket(UCHAR endpointAddress, ULONG frame, std::span<UCHAR> packet);
  // The OUT packet the host sent in `frame`; returns the packet's status.
  virtual USBD_STATUS IsochOutPacket(UCHAR endpointAddress, ULONG frame,
                                     std::span<const UCHAR> packet);

  // ---- Bulk and interrupt pipes -------------------------------------------
  // One transfer at a time per pipe, in submission order. IN: write up to
  // buffer.size() bytes and return how many (fewer ends the transfer short).
  // The default never answers (the endpoint NAKs), which is what an idle
  // interrupt endpoint does.
  virtual UsbReply BulkOrInterruptIn(UCHAR endpointAddress, std::span<UCHAR> buffer);
  // OUT: the bytes sent; return how many the device took.
  virtual UsbReply BulkOrInterruptOut(UCHAR endpointAddress, std::span<const UCHAR> data);

  // ---- Pipe and port events -----------------------------------------------
  // The driver aborted the pipe: its pending transfers are being cancelled.
  virtual void PipeAborted(UCHAR endpointAddress);
  // The driver reset the pipe (for bulk and interrupt pipes this clears a
  // halt on the device, as CLEAR_FEATURE(ENDPOINT_HALT)).
  virtual void PipeReset(UCHAR endpointAddress);
  // The driver reset the port. The reply's timing is the reset's; when it
  // succeeds every transfer still pending is cancelled, the port is enabled
  // again and the bus restores the configuration and alternate settings
  // through SetConfiguration and SetInterface, as the hub driver does.
  virtual UsbReply ResetPort();
  // Timing (and status) of a port status query; the bus fills in the bits.
  virtual UsbReply QueryPortStatus();

  // Plugged into (or pulled out of) a bus.
  virtual void Attached(UsbHost& host);
  virtual void Detached();
};

}  // namespace veltocam::host
