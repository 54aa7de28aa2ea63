// The bus driver's configuration helpers against well-formed and malformed
// configuration descriptors, and the request they build going to the bus.
#include <gtest/gtest.h>

#include "platform/host/pool.h"
#include "platform/host/usb_descriptors.h"
#include "support/usb_test_device.h"

namespace veltocam::testing {
namespace {

USB_CONFIGURATION_DESCRIPTOR* AsConfiguration(std::vector<UCHAR>& bytes) {
  return reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(bytes.data());
}

USB_INTERFACE_DESCRIPTOR* Find(std::vector<UCHAR>& bytes, LONG number, LONG alternate,
                               LONG cls = -1, PVOID start = nullptr) {
  return USBD_ParseConfigurationDescriptorEx(AsConfiguration(bytes),
                                             start != nullptr ? start : bytes.data(), number,
                                             alternate, cls, -1, -1);
}

std::ptrdiff_t OffsetOf(const std::vector<UCHAR>& bytes, const void* at) {
  return static_cast<const UCHAR*>(at) - bytes.data();
}

TEST(UsbConfigParseTest, FindsInterfacesByEveryCriterionFromTheStartGiven) {
  std::vector<UCHAR> c = DescriptorBuilder()
                             .Configuration(1, 2)
                             .Interface(0, 0, 1, 0x0E)
                             .Endpoint(0x81, 1, 0)
                             .Interface(0, 1, 1, 0x0E)
                             .Endpoint(0x81, 1, 512)
                             .Raw({5, 0x24, 1, 2, 3})  // a class-specific descriptor
                             .Interface(1, 0, 0, 0x01)
                             .Build();
  EXPECT_EQ(OffsetOf(c, Find(c, 0, -1)), 9);
  EXPECT_EQ(OffsetOf(c, Find(c, 0, 1)), 25);
  EXPECT_EQ(OffsetOf(c, Find(c, -1, -1, 0x01)), 46);
  EXPECT_EQ(Find(c, 2, -1), nullptr);
  // Starting after the first interface finds the next one.
  USB_INTERFACE_DESCRIPTOR* first = Find(c, -1, -1);
  EXPECT_EQ(OffsetOf(c, Find(c, -1, -1, -1, reinterpret_cast<UCHAR*>(first) + 9)), 25);
  // A start inside a descriptor does not make its payload read as one.
  EXPECT_EQ(OffsetOf(c, Find(c, -1, -1, -1, c.data() + 27)), 46);
  EXPECT_EQ(Find(c, -1, -1, -1, c.data() + c.size()), nullptr);
}

TEST(UsbConfigParseTest, MalformedDescriptorsEndTheSearchInsteadOfTheProgram) {
  std::vector<UCHAR> zeroLength =
      DescriptorBuilder().Configuration(1, 1).Raw({0, 4}).Interface(0, 0, 0).Build();
  EXPECT_EQ(Find(zeroLength, -1, -1), nullptr);

  // The interface runs past wTotalLength.
  std::vector<UCHAR> cut = DescriptorBuilder().Configuration(1, 1).Interface(0, 0, 0).Build(14);
  EXPECT_EQ(Find(cut, -1, -1), nullptr);

  // A descriptor announcing more bytes than the configuration has left.
  std::vector<UCHAR> overlong =
      DescriptorBuilder().Configuration(1, 1).Raw({200, 0x24}).Interface(0, 0, 0).Build();
  EXPECT_EQ(Find(overlong, -1, -1), nullptr);

  // An interface descriptor too short to be one is skipped.
  std::vector<UCHAR> shortInterface = DescriptorBuilder()
                                          .Configuration(1, 1)
                                          .Raw({5, USB_INTERFACE_DESCRIPTOR_TYPE, 7, 0, 0})
                                          .Interface(3, 0, 0)
                                          .Build();
  EXPECT_EQ(Find(shortInterface, -1, -1)->bInterfaceNumber, 3);

  std::vector<UCHAR> tiny = DescriptorBuilder().Configuration(1, 1).Build(4);
  EXPECT_EQ(Find(tiny, -1, -1), nullptr);
  std::vector<UCHAR> notAConfiguration = DescriptorBuilder().Configuration(1, 1).Build();
  notAConfiguration[1] = USB_DEVICE_DESCRIPTOR_TYPE;
  EXPECT_EQ(Find(notAConfiguration, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1), nullptr);
  // A start outside the descriptor.
  std::vector<UCHAR> other(32);
  std::vector<UCHAR> good = CameraLikeConfiguration();
  EXPECT_EQ(Find(good, -1, -1, -1, other.data()), nullptr);
}

TEST(UsbConfigParseTest, TheBusReadsEndpointsOnlyUpToWhatEachInterfaceAnnounces) {
  std::vector<UCHAR> c = DescriptorBuilder()
                             .Configuration(2, 1)
                             .Interface(0, 0, 1)
                             .Endpoint(0x81, 1, 0x1000 | 600)  // high-bandwidth bits ignored
                             .Endpoint(0x82, 3, 8)             // beyond bNumEndpoints
                             .Interface(0, 1, 2)
                             .Endpoint(0x81, 1, 1023)
                             .Build();
  auto parsed = host::ParseConfiguration(c);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->value, 2);
  ASSERT_EQ(parsed->settings.size(), 2u);
  EXPECT_EQ(parsed->settings[0].endpoints.size(), 1u);
  EXPECT_EQ(parsed->settings[0].endpoints[0].maxPacketSize, 600);
  EXPECT_TRUE(parsed->settings[0].Complete());
  EXPECT_FALSE(parsed->Find(0, 1)->Complete());  // announces two, has one
  // Shorter bytes than wTotalLength claims: what is there is read.
  c.resize(c.size() - 7);
  EXPECT_EQ(host::ParseConfiguration(c)->settings.size(), 2u);
  EXPECT_FALSE(host::ParseConfiguration(std::span<const UCHAR>(c.data(), 5)).has_value());
}

TEST(UsbConfigRequestTest, BuildsOneRecordPerInterfaceSizedForItsPipes) {
  std::vector<UCHAR> c = DescriptorBuilder()
                             .Configuration(1, 2)
                             .Interface(0, 0, 3)
                             .Endpoint(0x81, 1, 0)
                             .Endpoint(0x82, 3, 8)
                             .Endpoint(0x03, 2, 64)
                             .Interface(1, 0, 0)
                             .Build();
  USBD_INTERFACE_LIST_ENTRY list[3] = {{Find(c, 0, 0), nullptr}, {Find(c, 1, 0), nullptr}, {}};
  URB* urb = USBD_CreateConfigurationRequestEx(AsConfiguration(c), list);
  ASSERT_NE(urb, nullptr);
  const auto& s = urb->UrbSelectConfiguration;
  EXPECT_EQ(s.Hdr.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(s.Hdr.Length, offsetof(_URB_SELECT_CONFIGURATION, Interface) +
                              GET_USBD_INTERFACE_SIZE(3) + GET_USBD_INTERFACE_SIZE(0));
  EXPECT_EQ(s.ConfigurationDescriptor, AsConfiguration(c));
  EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(3));
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
  const USBD_PIPE_INFORMATION* pipes = list[0].Interface->Pipes;
  EXPECT_EQ(pipes[2].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  EXPECT_EQ(reinterpret_cast<UCHAR*>(list[1].Interface),
            reinterpret_cast<UCHAR*>(list[0].Interface) + GET_USBD_INTERFACE_SIZE(3));
  EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
  EXPECT_EQ(host::OutstandingBlocks(PoolTag("USBD")), 1u);
  ExFreePool(urb);
}

TEST(UsbConfigRequestTest, RequestsThatCannotBeBuiltGiveNothing) {
  std::vector<UCHAR> c = CameraLikeConfiguration();
  USBD_INTERFACE_LIST_ENTRY list[2] = {{Find(c, 0, 0), nullptr}, {}};
  host::FailNthAllocation(1);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfiguration(c), list), nullptr);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(nullptr, list), nullptr);
  // More pipes than a request's 16-bit length can describe.
  USB_INTERFACE_DESCRIPTOR wide{9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 255, 0, 0, 0, 0};
  std::vector<USBD_INTERFACE_LIST_ENTRY> many(12, {&wide, nullptr});
  many.push_back({});
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfiguration(c), many.data()), nullptr);
  EXPECT_EQ(host::OutstandingBlocks(), 0u);
}

// The bus takes the request the helpers build, and nothing that does not
// fit the device's own configuration.
class UsbSelectConfigurationTest : public ::testing::Test, public ConfiguredBus {};

TEST_F(UsbSelectConfigurationTest, RecordsThatDoNotFitTheDeviceAreRefused) {
  std::vector<UCHAR>& c = device.configuration;
  USBD_INTERFACE_LIST_ENTRY list[2] = {{Find(c, 0, 2), nullptr}, {}};
  URB* urb = USBD_CreateConfigurationRequestEx(AsConfiguration(c), list);
  UrbSender sender(bus.DeviceObject());

  const USHORT length = urb->UrbHeader.Length;
  urb->UrbHeader.Length = static_cast<USHORT>(length - 8);  // the record runs past the request
  EXPECT_EQ(sender.Send(urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  urb->UrbHeader.Length = length;

  list[0].Interface->Length = 20;  // not a whole record
  EXPECT_EQ(sender.Send(urb), STATUS_INVALID_PARAMETER);
  list[0].Interface->Length = GET_USBD_INTERFACE_SIZE(4);

  list[0].Interface->InterfaceNumber = 5;
  EXPECT_EQ(sender.Send(urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
  list[0].Interface->InterfaceNumber = 0;

  USB_CONFIGURATION_DESCRIPTOR other = *AsConfiguration(c);
  other.bConfigurationValue = 9;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = &other;
  EXPECT_EQ(sender.Send(urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);
  urb->UrbSelectConfiguration.ConfigurationDescriptor = AsConfiguration(c);
  EXPECT_TRUE(device.configurations.empty());

  EXPECT_EQ(sender.Send(urb), STATUS_PENDING);
  host::RunUntilIdle();
  EXPECT_EQ(sender.status, STATUS_SUCCESS);
  EXPECT_EQ(list[0].Interface->Pipes[0].MaximumPacketSize, 1023);
  EXPECT_EQ(bus.AlternateSetting(0), 2);
  ExFreePool(urb);
}

TEST_F(UsbSelectConfigurationTest, ASettingWithMissingEndpointsCannotBeSelected) {
  bus.Detach();
  device.configuration = DescriptorBuilder()
                             .Configuration(1, 1)
                             .Interface(0, 0, 0)
                             .Interface(0, 1, 2)
                             .Endpoint(0x81, 1, 512)
                             .Build();
  bus.Attach(device);
  EXPECT_EQ(Configure(0), STATUS_SUCCESS);
  EXPECT_EQ(Configure(1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bus.AlternateSetting(0), 0);
}

}  // namespace
}  // namespace veltocam::testing
