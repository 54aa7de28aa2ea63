// The host bus on the real-time scheduler: completions come from the
// dispatcher thread while the test thread cancels, and frames follow the
// wall clock.
#include <gtest/gtest.h>

#include <thread>

#include "platform/host/contract_violations.h"
#include "platform/host/platform.h"
#include "support/usb_test_device.h"

namespace veltocam::testing {
namespace {

// Sends a URB as a waiting caller does and returns the packet (already sent).
IRP* Send(DEVICE_OBJECT* bus, URB* urb, KEVENT* event, IO_STATUS_BLOCK* iosb) {
  KeInitializeEvent(event, NotificationEvent, FALSE);
  IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus, nullptr, 0, nullptr,
                                           0, TRUE, event, iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  IoCallDriver(bus, irp);
  return irp;
}

NTSTATUS SendAndWait(DEVICE_OBJECT* bus, URB* urb) {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  Send(bus, urb, &event, &iosb);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return iosb.Status;
}

TEST(UsbBusRealTimeTest, ACancelRacingTheAnswerEndsEachRequestOnceAndNeverWritesLate) {
  host::ResetPlatform(host::SchedulerMode::RealTime);
  TestDevice device;
  device.onControl = [](const UsbSetupPacket& setup, std::span<UCHAR> data) {
    data[0] = 1;
    return UsbReply::Done(1).After(setup.wValue * 1000);  // 0 to 0.4 ms
  };
  host::UsbBus bus;
  bus.Attach(device);
  int succeeded = 0;
  int cancelled = 0;
  for (int i = 0; i < 300; ++i) {
    UCHAR byte = 0;
    UrbBuffer urb = VendorRequest(true, 1, static_cast<USHORT>(i % 5), 0, &byte, 1);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    IRP* irp = Send(bus.DeviceObject(), urb.Urb(), &event, &iosb);
    for (int spin = 0; spin < (i % 7) * 40; ++spin) std::this_thread::yield();
    // At APC_LEVEL the packet cannot be finished (and freed) under the cancel.
    KIRQL irql;
    KeRaiseIrql(APC_LEVEL, &irql);
    IoCancelIrp(irp);
    KeLowerIrql(irql);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    if (iosb.Status == STATUS_SUCCESS) {
      ++succeeded;
      EXPECT_EQ(byte, 1);
    } else {
      ++cancelled;
      EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
      EXPECT_EQ(byte, 0);  // a cancelled read leaves the caller's buffer alone
    }
  }
  EXPECT_EQ(succeeded + cancelled, 300);
  EXPECT_EQ(bus.PendingRequests(), 0u);
  EXPECT_EQ(host::ContractViolationCount(), 0u);
}

TEST(UsbBusRealTimeTest, IsochronousFramesFollowTheWallClock) {
  host::ResetPlatform(host::SchedulerMode::RealTime);
  TestDevice device;
  host::UsbBus bus;
  bus.Attach(device);
  auto* descriptor = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(device.configuration.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 1, -1, -1, -1);
  URB* select = USBD_CreateConfigurationRequestEx(descriptor, list);
  ASSERT_EQ(SendAndWait(bus.DeviceObject(), select), STATUS_SUCCESS);
  IsoTransfer iso(list[0].Interface->Pipes[0].PipeHandle, 16, 128);
  ExFreePool(select);

  // Sixteen 1 ms frames take at least 15 ms of the scheduler's (wall) clock.
  const std::uint64_t start = host::Now();
  EXPECT_EQ(SendAndWait(bus.DeviceObject(), iso.Urb()), STATUS_SUCCESS);
  EXPECT_GE(host::Now() - start, static_cast<std::uint64_t>(host::Milliseconds(15)));
  EXPECT_EQ(iso.Transfer().ErrorCount, 0u);
  EXPECT_EQ(iso.Packet(15).Length, 128u);
}

}  // namespace
}  // namespace veltocam::testing
