#include "common/wire_blocks.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/camera_protocol.h"

namespace vk {
namespace {

TEST(VendorRequestBlock, EncodesSensorReadAsTheSdkSendsIt) {
  const VendorRequestBlock b{1, 2, 0, 0, VR_SENSOR_READ, 0, 0, 0x0123};
  uint8_t bytes[10];
  Encode(b, bytes);
  const uint8_t expected[10] = {1, 2, 0, 0, 10, 0, 0, 0, 0x23, 0x01};
  EXPECT_EQ(0, memcmp(bytes, expected, 10));
}

TEST(VendorRequestBlock, DecodesValueAndIndexLittleEndian) {
  const uint8_t bytes[10] = {0, 2, 0, 0xEE, 1, 0xEE, 0x03, 0x00, 0x0F, 0x00};
  VendorRequestBlock b{};
  ASSERT_TRUE(Decode(bytes, 10, &b));
  EXPECT_EQ(b.direction, 0);
  EXPECT_EQ(b.request, VR_STREAM_CONTROL);
  EXPECT_EQ(b.value, kStreamRestart);
  EXPECT_EQ(b.index, kStreamControlIndex);
}

TEST(VendorRequestBlock, RefusesNineOrElevenBytesLeavingOutputUntouched) {
  uint8_t bytes[11] = {};
  VendorRequestBlock b{7, 7, 7, 7, 7, 7, 7, 7};
  EXPECT_FALSE(Decode(bytes, 9, &b));
  EXPECT_FALSE(Decode(bytes, 11, &b));
  EXPECT_FALSE(Decode(nullptr, 10, &b));
  EXPECT_EQ(b.request, 7);
  EXPECT_EQ(b.value, 7);
}

TEST(VendorDeviceRequestBlock, RoundTripsEveryField) {
  const VendorDeviceRequestBlock b{0xA0, 0, 0x1040, 0, 64, 0, 0x5A};
  uint8_t bytes[10];
  Encode(b, bytes);
  EXPECT_EQ(bytes[0], 0xA0);
  EXPECT_EQ(bytes[2], 0x40);
  EXPECT_EQ(bytes[3], 0x10);
  EXPECT_EQ(bytes[6], 64);
  EXPECT_EQ(bytes[9], 0x5A);
  VendorDeviceRequestBlock back{};
  ASSERT_TRUE(Decode(bytes, 10, &back));
  EXPECT_EQ(back.value, 0x1040);
  EXPECT_EQ(back.length, 64);
  EXPECT_EQ(back.data, 0x5A);
}

TEST(IsoTransferRequest, RoundTripsAndRefusesOtherLengths) {
  const IsoTransferRequest r{1, 1024, 96, 8, 4};
  uint8_t bytes[21];
  Encode(r, bytes);
  EXPECT_EQ(bytes[4], 0x00);
  EXPECT_EQ(bytes[5], 0x04);
  IsoTransferRequest back{};
  ASSERT_TRUE(Decode(bytes, 20, &back));
  EXPECT_EQ(back.packet_count, 96u);
  EXPECT_EQ(back.transfers_in_flight, 4u);
  EXPECT_FALSE(Decode(bytes, 19, &back));
  EXPECT_FALSE(Decode(bytes, 21, &back));
}

TEST(TokenBlock, KeepsReservedBytes) {
  const TokenBlock t{1, 0, {9, 8, 7, 6, 5, 4}};
  uint8_t bytes[8];
  Encode(t, bytes);
  TokenBlock back{};
  ASSERT_TRUE(Decode(bytes, 8, &back));
  EXPECT_EQ(back.operation, 1);
  EXPECT_EQ(back.reserved[5], 4);
}

TEST(DriverVersionBlock, EncodesTwoOneAndSixtySeven) {
  uint8_t bytes[8];
  Encode(kDriverVersion, bytes);
  EXPECT_EQ(bytes[0], 0x02);
  EXPECT_EQ(bytes[1], 0x00);
  EXPECT_EQ(bytes[2], 0x01);
  EXPECT_EQ(bytes[3], 0x00);
  EXPECT_EQ(bytes[6], 0x43);
  EXPECT_EQ(bytes[7], 0x00);
}

TEST(StringDescriptorRequest, CarriesLanguageLittleEndian) {
  uint8_t bytes[4];
  Encode(StringDescriptorRequest{2, 0, kStringLanguageId}, bytes);
  EXPECT_EQ(bytes[0], 2);
  EXPECT_EQ(bytes[2], 0x1B);
  EXPECT_EQ(bytes[3], 0x00);
}

TEST(NvramMap, DeadPixelAddressesFollowTheTableLayout) {
  EXPECT_EQ(nvram::DeadPixelHeader(3), 0x24D0);
  EXPECT_EQ(nvram::DeadPixelHeaderValue(3), 0x0303);
  EXPECT_EQ(nvram::DeadPixelCount(1), 0x24CA);
  EXPECT_EQ(nvram::DeadPixelColumn(1, 2), 0x2500 + 400 + 8);
  EXPECT_EQ(nvram::DeadPixelRow(3, 99), 0x2502 + 1200 + 396);
  EXPECT_TRUE(nvram::InDeadPixelTable(nvram::kDeadPixelMarker));
  EXPECT_TRUE(nvram::InDeadPixelTable(nvram::DeadPixelRow(3, 99)));
  EXPECT_FALSE(nvram::InDeadPixelTable(nvram::kSerialNumber));
  EXPECT_FALSE(nvram::InDeadPixelTable(nvram::kLotDate));
}

TEST(NvramMap, LotDateOfErasedMemoryIsNeverWritten) {
  const nvram::LotDate d = nvram::DecodeLotDate(0xFFFF);
  EXPECT_EQ(d.year, 2136);
  EXPECT_EQ(d.month, nvram::kLotDateNeverWrittenMonth);
  EXPECT_EQ(d.day, 31);
}

TEST(NvramMap, LotDateRoundTrips) {
  const uint16_t w = nvram::EncodeLotDate(2026, 12, 7);
  const nvram::LotDate d = nvram::DecodeLotDate(w);
  EXPECT_EQ(d.year, 2026);
  EXPECT_EQ(d.month, 12);
  EXPECT_EQ(d.day, 7);
}

}  // namespace
}  // namespace vk
