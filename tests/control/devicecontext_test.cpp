// Configure: the interface copy, the owned buffers and the pipe table, and
// what happens when the pool runs out.
#include <gtest/gtest.h>

#include <vector>

#include "platform/host/pool.h"
#include "support/device_extension.h"

namespace {

using veltocam::host::FailedAllocationCount;
using veltocam::host::FailNthAllocation;
using veltocam::host::OutstandingBlocks;

// An interface record with room for four pipes, as the select-configuration
// request lays it out.
struct InterfaceRecord {
  InterfaceRecord() {
    info().Length = GET_USBD_INTERFACE_SIZE(4);
    info().AlternateSetting = 5;
    info().NumberOfPipes = 4;
    for (ULONG i = 0; i < 4; ++i) {
      info().Pipes[i].MaximumPacketSize = static_cast<USHORT>(128 * (i + 1));
      info().Pipes[i].MaximumTransferSize = 4096;
    }
  }
  USBD_INTERFACE_INFORMATION& info() {
    return *reinterpret_cast<USBD_INTERFACE_INFORMATION*>(bytes);
  }
  alignas(8) UCHAR bytes[GET_USBD_INTERFACE_SIZE(4)] = {};
};

NTSTATUS RunConfigure(DeviceContext* ctx, USBD_INTERFACE_INFORMATION* info, ULONG pipes,
                      USHORT* words) {
  return Configure(nullptr, ctx, info, nullptr, pipes, words, nullptr);
}

TEST(Configure, KeepsAnEditedCopyOfTheInterfaceAndOwnsItsBuffers) {
  veltocam::test::DeviceExtension ext;
  InterfaceRecord record;
  USHORT words[4] = {0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE};
  ASSERT_EQ(RunConfigure(ext.context(), &record.info(), 4, words), STATUS_SUCCESS);

  DeviceContext* ctx = ext.context();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&ctx->Signature), 4), "KVDC");
  EXPECT_EQ(ctx->FrameRate, 20u);
  // The caller's record is edited first, then copied.
  EXPECT_EQ(record.info().AlternateSetting, 0);
  EXPECT_EQ(record.info().Pipes[0].MaximumTransferSize, 0x8000u);
  EXPECT_EQ(record.info().Pipes[1].MaximumTransferSize, 4096u);
  ASSERT_NE(ctx->Interface, nullptr);
  EXPECT_NE(ctx->Interface, &record.info());
  EXPECT_EQ(std::memcmp(ctx->Interface, record.bytes, sizeof record.bytes), 0);

  for (UCHAR* buffer : {ctx->RawImageBuffer, ctx->ConvertBuffer, ctx->p_ucScale_V_Buf_Y,
                        ctx->p_ucScale_V_Buf_UV, ctx->p_ucScale_H_Buf_Y, ctx->p_ucScale_H_Buf_UV}) {
    EXPECT_NE(buffer, nullptr);
  }
  EXPECT_EQ(veltocam::host::OutstandingBytes(kDevicePoolTag) - sizeof(ClassDevice) -
                sizeof(DeviceContext) - sizeof record.bytes,
            2u * 923520 + 4u * 640);
  EXPECT_EQ(std::vector<USHORT>(words, words + 4), (std::vector<USHORT>{0x0101, 0, 0, 0}));
}

TEST(Configure, WithoutAnInterfaceReleasesOnlyTheInterfaceCopy) {
  veltocam::test::DeviceExtension ext;
  InterfaceRecord record;
  USHORT words[4] = {};
  ASSERT_EQ(RunConfigure(ext.context(), &record.info(), 4, words), STATUS_SUCCESS);
  const std::size_t blocks = OutstandingBlocks();
  UCHAR* raw = ext.context()->RawImageBuffer;

  USHORT untouched[4] = {7, 7, 7, 7};
  EXPECT_EQ(RunConfigure(ext.context(), nullptr, 4, untouched), STATUS_SUCCESS);
  EXPECT_EQ(ext.context()->Interface, nullptr);
  EXPECT_EQ(ext.context()->RawImageBuffer, raw);
  EXPECT_EQ(OutstandingBlocks(), blocks - 1);
  EXPECT_EQ(std::vector<USHORT>(untouched, untouched + 4), (std::vector<USHORT>{7, 7, 7, 7}));
}

TEST(Configure, ARepeatedConfigureKeepsItsBuffersAndReplacesTheInterfaceCopy) {
  veltocam::test::DeviceExtension ext;
  InterfaceRecord record;
  USHORT words[4] = {};
  ASSERT_EQ(RunConfigure(ext.context(), &record.info(), 4, words), STATUS_SUCCESS);
  const std::size_t blocks = OutstandingBlocks();
  ASSERT_EQ(RunConfigure(ext.context(), &record.info(), 4, words), STATUS_SUCCESS);
  EXPECT_EQ(OutstandingBlocks(), blocks);
}

TEST(Configure, PipesBeyondTheTableGetNoRole) {
  veltocam::test::DeviceExtension ext;
  InterfaceRecord record;
  USHORT words[6] = {9, 9, 9, 9, 9, 9};
  ASSERT_EQ(RunConfigure(ext.context(), &record.info(), 6, words), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<USHORT>(words, words + 6), (std::vector<USHORT>{0x0101, 0, 0, 0, 0, 0}));
}

// Every allocation Configure makes can fail: the result says so, the steps
// after it still run, and UnInitialize's clean-up leaves nothing behind. The
// sweep goes on until Configure runs without a failure.
TEST(Configure, EachFailedAllocationIsReportedAndNothingLeaks) {
  for (std::uint64_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 100u) << "Configure never got through";
    veltocam::test::DeviceExtension ext;
    InterfaceRecord record;
    USHORT words[4] = {};
    const std::uint64_t failedBefore = FailedAllocationCount();
    FailNthAllocation(n);
    const NTSTATUS status = RunConfigure(ext.context(), &record.info(), 4, words);
    FailNthAllocation(0);
    EXPECT_EQ(words[0], 0x0101);
    if (FailedAllocationCount() == failedBefore) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      break;
    }
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    if (n == 1) {
      // No copy: the caller's record is left as it was.
      EXPECT_EQ(ext.context()->Interface, nullptr);
      EXPECT_EQ(record.info().AlternateSetting, 5);
    } else {
      EXPECT_NE(ext.context()->Interface, nullptr);
    }
  }
  EXPECT_EQ(OutstandingBlocks(), 0u);
}

}  // namespace
