// The host USB bus: control transfers, configuration, bulk and interrupt
// pipes, malformed requests, unplugging and the port.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/host/io_manager.h"
#include "platform/host/pool.h"
#include "support/usb_test_device.h"

namespace veltocam::testing {
namespace {

using host::Milliseconds;
using host::Now;
using host::RunUntilIdle;
using host::Seconds;

class UsbBusTest : public ::testing::Test, public ConfiguredBus {};

TEST_F(UsbBusTest, DescriptorReadsAreTruncatedToTheBufferAndCompleteAtTheNextPump) {
  UCHAR deviceBytes[18] = {};
  UrbBuffer deviceUrb =
      DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, deviceBytes, sizeof(deviceBytes));
  UrbSender sender(bus.DeviceObject());
  ASSERT_EQ(sender.Send(deviceUrb.Urb()), STATUS_PENDING);
  EXPECT_EQ(deviceUrb->UrbHeader.Status, USBD_STATUS_PENDING);
  EXPECT_FALSE(sender.Done());
  RunUntilIdle();
  ASSERT_EQ(sender.completions, 1);
  EXPECT_EQ(sender.status, STATUS_SUCCESS);
  EXPECT_EQ(sender.irql, DISPATCH_LEVEL);
  EXPECT_EQ(deviceUrb->UrbControlDescriptorRequest.TransferBufferLength, 18u);
  EXPECT_EQ(deviceBytes[0], 18);
  EXPECT_EQ(deviceBytes[17], 1);  // bNumConfigurations

  // The first 9 bytes of the configuration tell its full length.
  std::vector<UCHAR> config(9);
  UrbBuffer configUrb = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, config.data(), 9);
  sender.Send(configUrb.Urb());
  RunUntilIdle();
  EXPECT_EQ(configUrb->UrbControlDescriptorRequest.TransferBufferLength, 9u);
  const USHORT total = static_cast<USHORT>(config[2] | config[3] << 8);
  EXPECT_EQ(total, device.configuration.size());
  config.assign(total + 10, 0xAB);
  UrbBuffer fullUrb = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, config.data(),
                                        static_cast<ULONG>(config.size()));
  sender.Send(fullUrb.Urb());
  RunUntilIdle();
  EXPECT_EQ(fullUrb->UrbControlDescriptorRequest.TransferBufferLength, total);
  EXPECT_EQ(config[total], 0xAB);  // nothing written past what the device sent
  EXPECT_EQ(bus.RequestCount(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 3u);
}

TEST_F(UsbBusTest, VendorRequestsCarryTheirSetupAndDataAndShortAnswersReportTheBytesMoved) {
  device.onControl = [](const UsbSetupPacket& setup, std::span<UCHAR> data) {
    if (!setup.DeviceToHost()) return UsbReply::Done(static_cast<ULONG>(data.size()));
    data[0] = 0x11;
    data[1] = 0x22;
    data[2] = 0x33;
    return UsbReply::Done(3);
  };
  UCHAR in[8];
  std::memset(in, 0xCC, sizeof(in));
  UrbBuffer read = VendorRequest(true, 0x0C, 0x1234, 0x5678, in, sizeof(in));
  UrbSender sender(bus.DeviceObject());
  sender.Send(read.Urb());
  RunUntilIdle();
  ASSERT_EQ(sender.status, STATUS_SUCCESS);
  EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(read->UrbControlVendorClassRequest.TransferBufferLength, 3u);
  EXPECT_EQ(in[2], 0x33);
  EXPECT_EQ(in[3], 0xCC);  // only the bytes sent are written
  ASSERT_EQ(device.setups.size(), 1u);
  EXPECT_EQ(device.setups[0].bmRequestType, 0xC0);
  EXPECT_EQ(device.setups[0].bRequest, 0x0C);
  EXPECT_EQ(device.setups[0].wValue, 0x1234);
  EXPECT_EQ(device.setups[0].wIndex, 0x5678);
  EXPECT_EQ(device.setups[0].wLength, 8);

  UCHAR out[4] = {1, 2, 3, 4};
  UrbBuffer write = VendorRequest(false, 0x0D, 7, 9, out, sizeof(out));
  sender.Send(write.Urb());
  RunUntilIdle();
  EXPECT_EQ(sender.status, STATUS_SUCCESS);
  EXPECT_EQ(device.setups.back().bmRequestType, 0x40);
  ASSERT_EQ(device.outData.size(), 1u);
  EXPECT_EQ(device.outData[0], (std::vector<UCHAR>{1, 2, 3, 4}));
  EXPECT_EQ(write->UrbControlVendorClassRequest.TransferBufferLength, 4u);

  // Without a data stage.
  UrbBuffer bare = VendorRequest(false, 0x0E, 0, 0, nullptr, 0);
  sender.Send(bare.Urb());
  RunUntilIdle();
  EXPECT_EQ(sender.status, STATUS_SUCCESS);
  EXPECT_EQ(device.setups.back().wLength, 0);

  const auto log = bus.Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].setup.bRequest, 0x0C);
  EXPECT_TRUE(log[0].completed);
  EXPECT_EQ(log[0].bytes, 3u);
  EXPECT_EQ(bus.RequestCount(URB_FUNCTION_VENDOR_DEVICE), 3u);
}

TEST_F(UsbBusTest, AStalledRequestFailsWithTheStallStatusAndMovesNothing) {
  device.onControl = [](const UsbSetupPacket&, std::span<UCHAR>) { return UsbReply::Stall(); };
  UCHAR in[4] = {};
  UrbBuffer read = VendorRequest(true, 1, 0, 0, in, sizeof(in));
  UrbSender sender(bus.DeviceObject());
  sender.Send(read.Urb());
  RunUntilIdle();
  EXPECT_EQ(sender.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(read->UrbControlVendorClassRequest.TransferBufferLength, 0u);
}

TEST_F(UsbBusTest, ALateAnswerOutlastsANineSecondWaitOnVirtualTimeAndCancelEndsIt) {
  device.onControl = [](const UsbSetupPacket&, std::span<UCHAR>) {
    return UsbReply::Done().After(Seconds(12));
  };
  UrbBuffer urb = VendorRequest(false, 5, 0, 0, nullptr, 0);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus.DeviceObject(),
                                           nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb.Urb();
  ASSERT_EQ(IoCallDriver(bus.DeviceObject(), irp), STATUS_PENDING);

  LARGE_INTEGER nineSeconds;
  nineSeconds.QuadPart = -Seconds(9);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &nineSeconds),
            STATUS_TIMEOUT);
  EXPECT_EQ(Now(), static_cast<std::uint64_t>(Seconds(9)));

  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(bus.PendingRequests(), 0u);
  host::AdvanceTime(Seconds(5));  // the 12 s answer never arrives twice
  EXPECT_EQ(host::OutstandingBlocks(host::kIrpPoolTag), 0u);
}

TEST_F(UsbBusTest, ControlTransfersReachTheDeviceOneAtATimeInOrder) {
  device.onControl = [](const UsbSetupPacket& setup, std::span<UCHAR>) {
    return setup.bRequest == 1 ? UsbReply::Done().After(Milliseconds(5)) : UsbReply::Done();
  };
  UrbBuffer first = VendorRequest(false, 1, 0, 0, nullptr, 0);
  UrbBuffer second = VendorRequest(false, 2, 0, 0, nullptr, 0);
  UrbSender a(bus.DeviceObject()), b(bus.DeviceObject());
  a.Send(first.Urb());
  b.Send(second.Urb());
  RunUntilIdle();
  EXPECT_EQ(device.setups.size(), 1u);  // the second waits for the first
  host::AdvanceTime(Milliseconds(5));
  ASSERT_TRUE(a.Done() && b.Done());
  EXPECT_EQ(device.setups.size(), 2u);
  EXPECT_LE(a.time, b.time);
}

TEST_F(UsbBusTest, MalformedRequestsFailAtOnceWithoutReachingTheDevice) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  device.setups.clear();
  UrbSender sender(bus.DeviceObject());
  auto expectRejected = [&](URB* urb, NTSTATUS nt, USBD_STATUS usbd) {
    EXPECT_EQ(sender.Send(urb), nt);
    EXPECT_EQ(sender.completions, 1);
    if (urb != nullptr) {
      EXPECT_EQ(urb->UrbHeader.Status, usbd);
    }
  };
  expectRejected(nullptr, STATUS_INVALID_PARAMETER, 0);
  UrbBuffer tiny(4);
  tiny->UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
  EXPECT_EQ(sender.Send(tiny.Urb()), STATUS_INVALID_PARAMETER);

  UrbBuffer unknown(sizeof(_URB_HEADER));
  unknown->UrbHeader.Function = 0x7F;
  expectRejected(unknown.Urb(), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);

  UrbBuffer shortVendor = VendorRequest(true, 1, 0, 0, nullptr, 0);
  shortVendor->UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) - 8;
  expectRejected(shortVendor.Urb(), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  UrbBuffer noBuffer = VendorRequest(true, 1, 0, 0, nullptr, 16);
  expectRejected(noBuffer.Urb(), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  std::vector<UCHAR> huge(0x10000);
  UrbBuffer tooLong = VendorRequest(true, 1, 0, 0, huge.data(), 0x10000);
  expectRejected(tooLong.Urb(), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  UCHAR data[64];
  int bogus = 0;
  UrbBuffer badPipe = BulkTransfer(&bogus, data, sizeof(data));
  expectRejected(badPipe.Urb(), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  UrbBuffer abortNothing = PipeRequest(URB_FUNCTION_ABORT_PIPE, nullptr);
  expectRejected(abortNothing.Urb(), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  UrbBuffer bulkOnIso = BulkTransfer(Pipe(kIsoIn), data, sizeof(data));
  expectRejected(bulkOnIso.Urb(), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  UrbBuffer bulkNoBuffer = BulkTransfer(Pipe(kBulkIn), nullptr, 64);
  expectRejected(bulkNoBuffer.Urb(), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  EXPECT_TRUE(device.setups.empty());
  EXPECT_EQ(bus.PendingRequests(), 0u);
  // Other device controls are not the bus's.
  EXPECT_EQ(sender.Send(nullptr, 0x220ABC), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(UsbBusTest, SelectConfigurationReportsThePipesOfTheChosenSetting) {
  ASSERT_EQ(Configure(1), STATUS_SUCCESS);
  EXPECT_EQ(bus.ConfigurationValue(), 1);
  EXPECT_EQ(bus.AlternateSetting(0), 1);
  EXPECT_EQ(device.configurations, std::vector<int>{1});
  EXPECT_EQ(device.interfaces, (std::vector<std::pair<UCHAR, UCHAR>>{{0, 1}}));
  ASSERT_EQ(pipes.size(), 4u);
  EXPECT_EQ(pipes[0].EndpointAddress, kIsoIn);
  EXPECT_EQ(pipes[0].PipeType, UsbdPipeTypeIsochronous);
  EXPECT_EQ(pipes[0].MaximumPacketSize, 128);
  EXPECT_EQ(pipes[1].PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(pipes[1].Interval, 10);
  EXPECT_EQ(pipes[2].PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(pipes[2].MaximumPacketSize, 64);
  for (const USBD_PIPE_INFORMATION& p : pipes) {
    EXPECT_NE(p.PipeHandle, nullptr);
    EXPECT_EQ(p.MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  }
  EXPECT_NE(pipes[0].PipeHandle, pipes[1].PipeHandle);

  // A null descriptor unconfigures: the old pipes are gone.
  UrbBuffer unconfigure(sizeof(_URB_SELECT_CONFIGURATION));
  unconfigure->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  UrbSender sender(bus.DeviceObject());
  sender.Send(unconfigure.Urb());
  RunUntilIdle();
  EXPECT_EQ(sender.status, STATUS_SUCCESS);
  EXPECT_EQ(bus.ConfigurationValue(), 0);
  EXPECT_EQ(device.configurations.back(), 0);
  UrbBuffer reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kBulkIn));
  EXPECT_EQ(sender.Send(reset.Urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(reset->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbBusTest, ADeviceThatRefusesTheConfigurationLeavesTheBusUnconfigured) {
  device.configurationReply = UsbReply::Stall();
  EXPECT_EQ(Configure(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bus.ConfigurationValue(), 0);
}

TEST_F(UsbBusTest, SelectInterfaceChangesPacketSizesAndCancelsTransfersOnTheOldPipes) {
  ASSERT_EQ(Configure(0), STATUS_SUCCESS);
  const USBD_PIPE_HANDLE oldInterrupt = Pipe(kInterruptIn);
  UCHAR button[8];
  UrbBuffer waiting = BulkTransfer(oldInterrupt, button, sizeof(button));
  UrbSender waiter(bus.DeviceObject());
  ASSERT_EQ(waiter.Send(waiting.Urb()), STATUS_PENDING);
  RunUntilIdle();

  const ULONG pipesNeeded = 4;
  UrbBuffer select(GET_SELECT_INTERFACE_REQUEST_SIZE(pipesNeeded));
  select->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  auto& s = select->UrbSelectInterface;
  s.ConfigurationHandle = configurationHandle;
  s.Interface.Length = GET_USBD_INTERFACE_SIZE(pipesNeeded);
  s.Interface.InterfaceNumber = 0;
  s.Interface.AlternateSetting = 2;
  USBD_PIPE_INFORMATION* reported = s.Interface.Pipes;
  reported[0].MaximumTransferSize = 0x12345;
  UrbSender sender(bus.DeviceObject());
  ASSERT_EQ(sender.Send(select.Urb()), STATUS_PENDING);
  RunUntilIdle();
  ASSERT_EQ(sender.status, STATUS_SUCCESS);
  EXPECT_EQ(s.Interface.NumberOfPipes, 4u);
  EXPECT_EQ(reported[0].MaximumPacketSize, 1023);
  EXPECT_EQ(reported[0].MaximumTransferSize, 0x12345u);  // the caller's, kept
  EXPECT_NE(reported[1].PipeHandle, oldInterrupt);
  EXPECT_EQ(bus.AlternateSetting(0), 2);
  EXPECT_EQ(device.interfaces.back(), (std::pair<UCHAR, UCHAR>{0, 2}));

  EXPECT_EQ(waiter.completions, 1);
  EXPECT_EQ(waiter.status, STATUS_CANCELLED);
  EXPECT_EQ(waiting->UrbHeader.Status, USBD_STATUS_CANCELED);
  UrbBuffer stale = BulkTransfer(oldInterrupt, button, sizeof(button));
  EXPECT_EQ(waiter.Send(stale.Urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

  // A record too small for the setting's pipes is refused before the device hears of it.
  s.Interface.Length = GET_USBD_INTERFACE_SIZE(1);
  s.Interface.AlternateSetting = 1;
  EXPECT_EQ(sender.Send(select.Urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);
  s.Interface.Length = GET_USBD_INTERFACE_SIZE(pipesNeeded);
  s.Interface.AlternateSetting = 7;
  EXPECT_EQ(sender.Send(select.Urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
  EXPECT_EQ(device.interfaces.size(), 1u);
}

TEST_F(UsbBusTest, InterruptTransfersWaitForTheDevicesDataAndBulkStallsHaltThePipe) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  bool pressed = false;
  device.onIn = [&](UCHAR endpoint, std::span<UCHAR> buffer) {
    if (endpoint == kInterruptIn) {
      if (!pressed) return UsbReply::WaitForData();
      buffer[0] = 1;
      return UsbReply::Done(1);
    }
    return UsbReply::Stall();
  };
  UCHAR button[8] = {};
  UrbBuffer wait = BulkTransfer(Pipe(kInterruptIn), button, sizeof(button));
  UrbSender waiter(bus.DeviceObject());
  ASSERT_EQ(waiter.Send(wait.Urb()), STATUS_PENDING);
  host::AdvanceTime(Seconds(30));
  EXPECT_FALSE(waiter.Done());
  pressed = true;
  device.host->DataReady(kInterruptIn);
  RunUntilIdle();
  ASSERT_TRUE(waiter.Done());
  EXPECT_EQ(waiter.status, STATUS_SUCCESS);
  EXPECT_EQ(wait->UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
  EXPECT_EQ(button[0], 1);

  UCHAR data[64];
  UrbBuffer read = BulkTransfer(Pipe(kBulkIn), data, sizeof(data));
  UrbSender reader(bus.DeviceObject());
  reader.Send(read.Urb());
  RunUntilIdle();
  EXPECT_EQ(reader.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_STALL_PID);
  device.onIn = [](UCHAR, std::span<UCHAR> buffer) {
    return UsbReply::Done(static_cast<ULONG>(buffer.size()));
  };
  reader.Send(read.Urb());
  RunUntilIdle();
  EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  UrbBuffer reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kBulkIn));
  UrbSender resetter(bus.DeviceObject());
  resetter.Send(reset.Urb());
  RunUntilIdle();
  EXPECT_EQ(resetter.status, STATUS_SUCCESS);
  EXPECT_EQ(device.events.back(), "reset 84");
  read->UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof(data);
  reader.Send(read.Urb());
  RunUntilIdle();
  EXPECT_EQ(reader.status, STATUS_SUCCESS);
  EXPECT_EQ(read->UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);

  UCHAR payload[3] = {9, 8, 7};
  UrbBuffer write = BulkTransfer(Pipe(kBulkOut), payload, sizeof(payload));
  UrbSender writer(bus.DeviceObject());
  writer.Send(write.Urb());
  RunUntilIdle();
  EXPECT_EQ(writer.status, STATUS_SUCCESS);
  EXPECT_EQ(device.outData.back(), (std::vector<UCHAR>{9, 8, 7}));
}

TEST_F(UsbBusTest, AbortPipeEndsEveryTransferOfThePipeBeforeItself) {
  ASSERT_EQ(Configure(1), STATUS_SUCCESS);
  UCHAR a[8], b[8], c[64];
  UrbBuffer first = BulkTransfer(Pipe(kInterruptIn), a, sizeof(a));
  UrbBuffer second = BulkTransfer(Pipe(kInterruptIn), b, sizeof(b));
  UrbBuffer other = BulkTransfer(Pipe(kBulkIn), c, sizeof(c));
  IsoTransfer iso(Pipe(kIsoIn), 8, 128);
  UrbSender s1(bus.DeviceObject()), s2(bus.DeviceObject()), s3(bus.DeviceObject()),
      s4(bus.DeviceObject());
  s1.Send(first.Urb());
  s2.Send(second.Urb());
  s3.Send(other.Urb());
  s4.Send(iso.Urb());
  RunUntilIdle();

  UrbBuffer abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(kInterruptIn));
  UrbSender aborter(bus.DeviceObject());
  ASSERT_EQ(aborter.Send(abort.Urb()), STATUS_PENDING);
  RunUntilIdle();
  EXPECT_EQ(s1.status, STATUS_CANCELLED);
  EXPECT_EQ(s2.status, STATUS_CANCELLED);
  EXPECT_EQ(first->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_LE(s2.time, aborter.time);
  EXPECT_EQ(aborter.status, STATUS_SUCCESS);
  EXPECT_EQ(device.events.back(), "abort 82");
  EXPECT_FALSE(s3.Done());  // other pipes go on
  EXPECT_FALSE(s4.Done());

  UrbBuffer abortIso = PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(kIsoIn));
  aborter.Send(abortIso.Urb());
  UrbBuffer abortBulk = PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(kBulkIn));
  UrbSender aborter2(bus.DeviceObject());
  aborter2.Send(abortBulk.Urb());
  RunUntilIdle();
  EXPECT_EQ(s4.status, STATUS_CANCELLED);
  EXPECT_EQ(iso.Transfer().ErrorCount, 8u);
  EXPECT_EQ(iso.Packet(0).Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(s3.status, STATUS_CANCELLED);
  EXPECT_EQ(bus.PendingRequests(), 0u);
  EXPECT_TRUE(device.isoFrames.empty());
}

TEST_F(UsbBusTest, UnpluggingEndsEveryPendingRequestAndRefusesNewOnes) {
  ASSERT_EQ(Configure(1), STATUS_SUCCESS);
  device.onControl = [](const UsbSetupPacket&, std::span<UCHAR>) {
    return UsbReply::NeverAnswer();
  };
  UCHAR button[8];
  UrbBuffer control = VendorRequest(false, 1, 0, 0, nullptr, 0);
  UrbBuffer interrupt = BulkTransfer(Pipe(kInterruptIn), button, sizeof(button));
  IsoTransfer iso(Pipe(kIsoIn), 32, 128);
  UrbSender s1(bus.DeviceObject()), s2(bus.DeviceObject()), s3(bus.DeviceObject());
  s1.Send(control.Urb());
  s2.Send(interrupt.Urb());
  s3.Send(iso.Urb());
  host::AdvanceTime(Milliseconds(10));
  EXPECT_FALSE(s1.Done() || s2.Done() || s3.Done());

  bus.Detach();
  EXPECT_EQ(device.events.back(), "detached");
  RunUntilIdle();
  for (UrbSender* s : {&s1, &s2, &s3}) {
    EXPECT_EQ(s->completions, 1);
    EXPECT_EQ(s->status, STATUS_DEVICE_NOT_CONNECTED);
  }
  EXPECT_EQ(control->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(bus.PortStatus(), 0u);

  UrbBuffer again = VendorRequest(false, 1, 0, 0, nullptr, 0);
  EXPECT_EQ(s1.Send(again.Urb()), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(again->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  ULONG port = 0xFF;
  EXPECT_EQ(s1.Send(reinterpret_cast<URB*>(&port), IOCTL_INTERNAL_USB_GET_PORT_STATUS),
            STATUS_SUCCESS);
  EXPECT_EQ(port, 0u);
  EXPECT_EQ(s1.Send(nullptr, IOCTL_INTERNAL_USB_RESET_PORT), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(UsbBusTest, ADeviceCanUnplugItselfFromInsideARequest) {
  device.onControl = [&](const UsbSetupPacket&, std::span<UCHAR>) {
    device.host->Unplug();
    return UsbReply::Done().After(Milliseconds(1));
  };
  UrbBuffer control = VendorRequest(false, 1, 0, 0, nullptr, 0);
  UrbSender sender(bus.DeviceObject());
  sender.Send(control.Urb());
  RunUntilIdle();
  EXPECT_FALSE(bus.IsAttached());
  EXPECT_EQ(sender.status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(UsbBusTest, PortStatusAndResetFollowThePortAndTheModelsTiming) {
  ASSERT_EQ(Configure(1), STATUS_SUCCESS);
  ULONG port = 0;
  UrbSender sender(bus.DeviceObject());
  ASSERT_EQ(sender.Send(reinterpret_cast<URB*>(&port), IOCTL_INTERNAL_USB_GET_PORT_STATUS),
            STATUS_PENDING);
  RunUntilIdle();
  EXPECT_EQ(sender.status, STATUS_SUCCESS);
  EXPECT_EQ(port, USBD_PORT_CONNECTED | USBD_PORT_ENABLED);

  // A 30 ms wait does not see a 50 ms answer; the answer still arrives later.
  device.portStatusReply = UsbReply::Done().After(Milliseconds(50));
  bus.DisablePort();
  port = 0xFF;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, bus.DeviceObject(),
                                           nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &port;
  ASSERT_EQ(IoCallDriver(bus.DeviceObject(), irp), STATUS_PENDING);
  LARGE_INTEGER thirty;
  thirty.QuadPart = -Milliseconds(30);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &thirty), STATUS_TIMEOUT);
  EXPECT_EQ(port, 0xFFu);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(port, ULONG{USBD_PORT_CONNECTED});

  // A disabled port carries no traffic until it is reset.
  device.onControl = [](const UsbSetupPacket&, std::span<UCHAR>) { return UsbReply::Done(); };
  UrbBuffer control = VendorRequest(false, 1, 0, 0, nullptr, 0);
  sender.Send(control.Urb());
  RunUntilIdle();
  EXPECT_EQ(control->UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
  device.resetPortReply = UsbReply::Done().After(Milliseconds(10));
  device.configurations.clear();
  ASSERT_EQ(sender.Send(nullptr, IOCTL_INTERNAL_USB_RESET_PORT), STATUS_PENDING);
  host::AdvanceTime(Milliseconds(10));
  EXPECT_EQ(sender.status, STATUS_SUCCESS);
  EXPECT_EQ(bus.PortStatus(), USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
  // The hub driver restores the configuration and the alternate setting.
  EXPECT_EQ(device.configurations, std::vector<int>{1});
  EXPECT_EQ(device.interfaces.back(), (std::pair<UCHAR, UCHAR>{0, 1}));
  sender.Send(control.Urb());
  RunUntilIdle();
  EXPECT_EQ(sender.status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace veltocam::testing
