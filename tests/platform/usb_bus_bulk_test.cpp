// Bulk and interrupt transfers on the host bus as the platform's bus driver
// serves them: the maximum transfer size given at selection, whole packets
// with babble past the buffer, and short transfers only when allowed.
#include <gtest/gtest.h>

#include "support/usb_test_device.h"

namespace veltocam::testing {
namespace {

class UsbBusBulkTest : public ::testing::Test, public ConfiguredBus {};

TEST_F(UsbBusBulkTest, TheDeviceAnswerDecidesHowAnInTransferEnds) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  struct Case {
    ULONG length;
    ULONG flags;
    ULONG sent;  // bytes the device sends
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG moved;
    bool halts;
  };
  const Case cases[] = {
      {128, USBD_SHORT_TRANSFER_OK, 128, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 128, false},
      {128, USBD_SHORT_TRANSFER_OK, 70, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 70, false},
      {128, 0, 70, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN, 70, false},
      // 10 bytes still ask for a whole packet; a full one is babble.
      {10, USBD_SHORT_TRANSFER_OK, 64, STATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN, 10, true},
      {10, USBD_SHORT_TRANSFER_OK, 10, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 10, false},
  };
  for (const Case& c : cases) {
    std::size_t offered = 0;
    device.onIn = [&](UCHAR, std::span<UCHAR> buffer) {
      offered = buffer.size();
      std::fill(buffer.begin(), buffer.end(), UCHAR{0x5A});
      return UsbReply::Done(c.sent);
    };
    std::vector<UCHAR> data(c.length + 8, 0);
    UrbBuffer read = BulkTransfer(Pipe(kBulkIn), data.data(), c.length);
    read->UrbBulkOrInterruptTransfer.TransferFlags = c.flags;
    UrbSender sender(bus.DeviceObject());
    sender.Send(read.Urb());
    host::RunUntilIdle();
    EXPECT_EQ(offered, (c.length + 63) / 64 * 64);
    EXPECT_EQ(sender.status, c.status) << c.length << "/" << c.sent;
    EXPECT_EQ(read->UrbHeader.Status, c.usbd);
    EXPECT_EQ(read->UrbBulkOrInterruptTransfer.TransferBufferLength, c.moved);
    EXPECT_EQ(data[c.length], 0) << "nothing past the buffer";
    if (c.halts) {
      UrbBuffer again = BulkTransfer(Pipe(kBulkIn), data.data(), c.length);
      sender.Send(again.Urb());
      host::RunUntilIdle();
      EXPECT_EQ(again->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
      UrbBuffer reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kBulkIn));
      sender.Send(reset.Urb());
      host::RunUntilIdle();
    }
  }
}

TEST_F(UsbBusBulkTest, ATransferLongerThanThePipesMaximumIsRefused) {
  // The records the builder makes allow 4096 bytes per transfer.
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  device.onOut = [](UCHAR, std::span<const UCHAR> data) {
    return UsbReply::Done(static_cast<ULONG>(data.size()));
  };
  std::vector<UCHAR> data(4097, 1);
  UrbSender sender(bus.DeviceObject());
  UrbBuffer fits = BulkTransfer(Pipe(kBulkOut), data.data(), 4096);
  EXPECT_EQ(sender.Send(fits.Urb()), STATUS_PENDING);
  host::RunUntilIdle();
  EXPECT_EQ(sender.status, STATUS_SUCCESS);
  UrbBuffer tooLong = BulkTransfer(Pipe(kBulkOut), data.data(), 4097);
  EXPECT_EQ(sender.Send(tooLong.Urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(tooLong->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  // A select-interface request sets the sizes anew.
  const ULONG pipes = 4;
  UrbBuffer select(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes));
  select->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  auto& s = select->UrbSelectInterface;
  s.ConfigurationHandle = configurationHandle;
  s.Interface.Length = GET_USBD_INTERFACE_SIZE(pipes);
  s.Interface.AlternateSetting = 1;
  USBD_PIPE_INFORMATION* records = s.Interface.Pipes;
  for (ULONG p = 0; p < pipes; ++p) records[p].MaximumTransferSize = 8192;
  sender.Send(select.Urb());
  host::RunUntilIdle();
  ASSERT_EQ(sender.status, STATUS_SUCCESS);
  UrbBuffer nowFits = BulkTransfer(records[2].PipeHandle, data.data(), 4097);
  EXPECT_EQ(sender.Send(nowFits.Urb()), STATUS_PENDING);
  host::RunUntilIdle();
  EXPECT_EQ(sender.status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace veltocam::testing
