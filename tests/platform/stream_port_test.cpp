// The host port against a minidriver of the test's own: registration, the
// start sequence, stream requests with their time-out count-down and
// cancellation, and the contract checks, each broken on purpose.
#include "platform/host/stream_port.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/platform.h"
#include "platform/host/pool.h"
#include "platform/host/scheduler.h"

namespace veltocam::host {
namespace {

// What the test minidriver does wrong, if anything.
enum class Fault {
  None,
  CompleteTwice,
  CompleteStray,
  KeepUninitialize,
  KeepRead,
  CompleteControlAsDevice,  // a stream request through the device notification
  CompleteOpenAsStream,     // a device request through the stream notification
  CompleteWithOtherDevice,  // naming an extension the port did not give
};

struct Minidriver {
  Fault fault = Fault::None;
  std::vector<SRB_COMMAND> requests;
  ULONG openFlags = 0;
  std::vector<HW_STREAM_REQUEST_BLOCK*> queued;  // reads held by the driver
  int timeouts = 0;
  int cancels = 0;
  KIRQL cancelIrql = PASSIVE_LEVEL;
};
Minidriver* g_driver = nullptr;

void Complete(HW_STREAM_REQUEST_BLOCK* srb, NTSTATUS status) {
  srb->Status = status;
  if (srb->Command < SRB_GET_STREAM_INFO) {
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
  } else {
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
  }
}

void ReceiveData(HW_STREAM_REQUEST_BLOCK* srb) {
  srb->TimeoutCounter = srb->TimeoutOriginal = 3;
  g_driver->queued.push_back(srb);
}

void ReceiveControl(HW_STREAM_REQUEST_BLOCK* srb) {
  if (g_driver->fault == Fault::CompleteControlAsDevice) {
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
    return;
  }
  Complete(srb, STATUS_SUCCESS);
}

void CompleteQueued(HW_STREAM_REQUEST_BLOCK* srb, NTSTATUS status) {
  std::erase(g_driver->queued, srb);
  Complete(srb, status);
}

void ReceiveDevice(HW_STREAM_REQUEST_BLOCK* srb) {
  g_driver->requests.push_back(srb->Command);
  switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE:
      static_cast<PORT_CONFIGURATION_INFORMATION*>(srb->CommandData.ConfigInfo)
          ->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);
      break;
    case SRB_GET_STREAM_INFO: {
      auto* d = static_cast<HW_STREAM_DESCRIPTOR*>(srb->CommandData.StreamBuffer);
      d->StreamHeader.NumberOfStreams = 1;
      d->StreamHeader.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
      break;
    }
    case SRB_OPEN_STREAM:
      g_driver->openFlags = srb->Flags;
      srb->StreamObject->ReceiveDataPacket = ReceiveData;
      srb->StreamObject->ReceiveControlPacket = ReceiveControl;
      if (g_driver->fault == Fault::CompleteOpenAsStream) {
        StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
        return;
      }
      break;
    case SRB_CLOSE_STREAM:
      while (g_driver->fault != Fault::KeepRead && !g_driver->queued.empty()) {
        HW_STREAM_REQUEST_BLOCK* read = g_driver->queued.front();
        CompleteQueued(read, STATUS_CANCELLED);
      }
      break;
    case SRB_UNINITIALIZE_DEVICE:
      if (g_driver->fault == Fault::KeepUninitialize) return;
      break;
    case SRB_PAGING_OUT_DRIVER:
      if (g_driver->fault == Fault::CompleteWithOtherDevice) {
        char other[64];
        StreamClassDeviceNotification(DeviceRequestComplete, other, srb);
        return;
      }
      break;
    default:
      break;
  }
  Complete(srb, STATUS_SUCCESS);
  if (g_driver->fault == Fault::CompleteTwice && srb->Command == SRB_INITIALIZATION_COMPLETE) {
    Complete(srb, STATUS_SUCCESS);
  }
  if (g_driver->fault == Fault::CompleteStray && srb->Command == SRB_INITIALIZATION_COMPLETE) {
    HW_STREAM_REQUEST_BLOCK stray = *srb;
    Complete(&stray, STATUS_SUCCESS);
  }
}

void Timeout(HW_STREAM_REQUEST_BLOCK* srb) {
  ++g_driver->timeouts;
  srb->TimeoutCounter = srb->TimeoutOriginal;
}

void Cancel(HW_STREAM_REQUEST_BLOCK* srb) {
  ++g_driver->cancels;
  g_driver->cancelIrql = KeGetCurrentIrql();
  CompleteQueued(srb, STATUS_CANCELLED);
}

NTSTATUS Entry(DRIVER_OBJECT* driver, UNICODE_STRING* path) {
  HW_INITIALIZATION_DATA data{};
  data.HwInitializationDataSize = sizeof data;
  data.HwReceivePacket = ReceiveDevice;
  data.HwCancelPacket = Cancel;
  data.HwRequestTimeoutHandler = Timeout;
  data.DeviceExtensionSize = 64;
  data.PerRequestExtensionSize = 16;
  data.PerStreamExtensionSize = 32;
  return StreamClassRegisterAdapter(driver, path, &data);
}

class StreamPortTest : public ::testing::Test {
 protected:
  StreamPortTest() { g_driver = &driver_; }
  ~StreamPortTest() override { g_driver = nullptr; }

  PortDevice* Start(StreamClassPort& port) {
    EXPECT_EQ(port.LoadDriver(Entry), STATUS_SUCCESS);
    PortDevice* device = nullptr;
    EXPECT_EQ(port.AddDevice(&physical_, &device), STATUS_SUCCESS);
    return device;
  }
  PortStream* Open(StreamClassPort& port, PortDevice* device) {
    KSDATAFORMAT format{sizeof(KSDATAFORMAT), 0, 0, 0, {}, {}, {}};
    PortStream* stream = nullptr;
    EXPECT_EQ(port.OpenStream(device, 0, &format, &stream), STATUS_SUCCESS);
    return stream;
  }

  Minidriver driver_;
  DEVICE_OBJECT physical_{nullptr, nullptr, nullptr, nullptr, 0, 1};
  KSSTREAM_HEADER header_{};
};

TEST_F(StreamPortTest, ADeviceStartsAndGoesWithTheRequestsOfThePlatform) {
  StreamClassPort port;
  PortDevice* device = Start(port);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(port.DeviceObject(device)->StackSize, 2);
  port.RemoveDevice(device);
  const std::vector<SRB_COMMAND> expected = {SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO,
                                             SRB_INITIALIZATION_COMPLETE, SRB_SURPRISE_REMOVAL,
                                             SRB_UNINITIALIZE_DEVICE};
  EXPECT_EQ(driver_.requests, expected);
}

TEST_F(StreamPortTest, AStreamStillOpenAfterUninitialisationIsClosedWhenTheDeviceGoes) {
  StreamClassPort port;
  PortDevice* device = Start(port);
  Open(port, device);
  EXPECT_EQ(port.Uninitialize(device), STATUS_SUCCESS);
  port.RemoveDevice(device);
  const std::vector<SRB_COMMAND> expected = {SRB_INITIALIZE_DEVICE,       SRB_GET_STREAM_INFO,
                                             SRB_INITIALIZATION_COMPLETE, SRB_OPEN_STREAM,
                                             SRB_UNINITIALIZE_DEVICE,     SRB_CLOSE_STREAM};
  EXPECT_EQ(driver_.requests, expected);
}

TEST_F(StreamPortTest, QueuedReadsCountTheirTimeOutDownOncePerSecond) {
  StreamClassPort port;
  PortDevice* device = Start(port);
  PortStream* stream = Open(port, device);
  int done = 0;
  port.SubmitRead(stream, &header_, [&](HW_STREAM_REQUEST_BLOCK*) { ++done; });
  AdvanceTime(Seconds(2));
  EXPECT_EQ(driver_.timeouts, 0);
  AdvanceTime(Seconds(1));
  EXPECT_EQ(driver_.timeouts, 1);
  AdvanceTime(Seconds(3));
  EXPECT_EQ(driver_.timeouts, 2);
  EXPECT_EQ(port.PendingRequests(device), 1u);
  EXPECT_EQ(driver_.openFlags, 0u) << "an open is a device request";

  HW_STREAM_REQUEST_BLOCK* second =
      port.SubmitRead(stream, &header_, [&](HW_STREAM_REQUEST_BLOCK* srb) {
        EXPECT_EQ(srb->Status, STATUS_CANCELLED);
        ++done;
      });
  EXPECT_TRUE(port.CancelRead(second));
  EXPECT_EQ(driver_.cancels, 1);
  EXPECT_EQ(driver_.cancelIrql, DISPATCH_LEVEL) << "as an I/O cancel routine runs";
  EXPECT_EQ(done, 1);
  const std::size_t blocks = OutstandingBlocks();
  EXPECT_EQ(port.CloseStream(stream), STATUS_SUCCESS);
  EXPECT_EQ(done, 2);
  EXPECT_EQ(OutstandingBlocks(), blocks - 1) << "the stream's extension goes with the close";
  EXPECT_EQ(ArmedTimerCount(), 1u);
  AdvanceTime(Seconds(1));  // nothing left to count: the port stops its timer
  EXPECT_EQ(ArmedTimerCount(), 0u);
  port.RemoveDevice(device);
}

TEST_F(StreamPortTest, TheTestGuardNamesARequestBlockStillAtTheDriver) {
  StreamClassPort port;
  PortDevice* device = Start(port);
  PortStream* stream = Open(port, device);
  port.SubmitRead(stream, &header_, {});
  EXPECT_NE(DescribeLeftovers().find("1 request blocks never completed"), std::string::npos);
  CompleteQueued(driver_.queued.front(), STATUS_SUCCESS);
  EXPECT_EQ(StreamRequestsAtDriver(), 0u);
  port.RemoveDevice(device);
}

using StreamPortDeathTest = StreamPortTest;

TEST_F(StreamPortDeathTest, EveryBreachOfTheRequestContractIsCaught) {
  struct Case {
    Fault fault;
    const char* message;
  };
  const Case cases[] = {
      {Fault::CompleteTwice, "completed twice"},
      {Fault::CompleteStray, "never issued"},
      {Fault::KeepUninitialize, "left uncompleted when the device went away"},
      {Fault::KeepRead, "a stream closed with requests still at the driver"},
      {Fault::CompleteControlAsDevice, "a stream request completed as a device request"},
      {Fault::CompleteOpenAsStream, "a device request completed as a stream request"},
      {Fault::CompleteWithOtherDevice, "completed for another device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_DEATH(
        {
          driver_.fault = c.fault;
          StreamClassPort port;
          PortDevice* device = Start(port);
          if (c.fault == Fault::KeepRead) {
            port.SubmitRead(Open(port, device), &header_, {});
          }
          if (c.fault == Fault::CompleteControlAsDevice) {
            port.StreamControl(Open(port, device), SRB_GET_STREAM_STATE, {});
          }
          if (c.fault == Fault::CompleteOpenAsStream) Open(port, device);
          if (c.fault == Fault::CompleteWithOtherDevice) {
            port.DeviceRequest(device, SRB_PAGING_OUT_DRIVER, {});
          }
          port.RemoveDevice(device);
        },
        c.message);
  }
}

}  // namespace
}  // namespace veltocam::host
