#include "common/wire_blocks.h"

#include "common/byte_order.h"

namespace vk {

void Encode(const VendorRequestBlock& b, uint8_t* out) {
  out[0] = b.direction;
  out[1] = b.type;
  out[2] = b.recipient;
  out[3] = b.reserved0;
  out[4] = b.request;
  out[5] = b.reserved1;
  StoreLe16(out + 6, b.value);
  StoreLe16(out + 8, b.index);
}

bool Decode(const uint8_t* in, size_t length, VendorRequestBlock* out) {
  if (in == nullptr || length != sizeof(VendorRequestBlock)) return false;
  *out = {in[0], in[1], in[2], in[3], in[4], in[5], LoadLe16(in + 6),
          LoadLe16(in + 8)};
  return true;
}

void Encode(const VendorDeviceRequestBlock& b, uint8_t* out) {
  out[0] = b.request;
  out[1] = b.reserved;
  StoreLe16(out + 2, b.value);
  StoreLe16(out + 4, b.index);
  StoreLe16(out + 6, b.length);
  out[8] = b.direction;
  out[9] = b.data;
}

bool Decode(const uint8_t* in, size_t length, VendorDeviceRequestBlock* out) {
  if (in == nullptr || length != sizeof(VendorDeviceRequestBlock)) return false;
  *out = {in[0],           in[1], LoadLe16(in + 2), LoadLe16(in + 4),
          LoadLe16(in + 6), in[8], in[9]};
  return true;
}

void Encode(const IsoTransferRequest& b, uint8_t* out) {
  StoreLe32(out, b.pipe_index);
  StoreLe32(out + 4, b.packet_size);
  StoreLe32(out + 8, b.packet_count);
  StoreLe32(out + 12, b.packets_per_transfer);
  StoreLe32(out + 16, b.transfers_in_flight);
}

bool Decode(const uint8_t* in, size_t length, IsoTransferRequest* out) {
  if (in == nullptr || length != sizeof(IsoTransferRequest)) return false;
  *out = {LoadLe32(in), LoadLe32(in + 4), LoadLe32(in + 8), LoadLe32(in + 12),
          LoadLe32(in + 16)};
  return true;
}

void Encode(const TokenBlock& b, uint8_t* out) {
  out[0] = b.operation;
  out[1] = b.result;
  for (int i = 0; i < 6; ++i) out[2 + i] = b.reserved[i];
}

bool Decode(const uint8_t* in, size_t length, TokenBlock* out) {
  if (in == nullptr || length != sizeof(TokenBlock)) return false;
  out->operation = in[0];
  out->result = in[1];
  for (int i = 0; i < 6; ++i) out->reserved[i] = in[2 + i];
  return true;
}

void Encode(const DriverVersionBlock& b, uint8_t* out) {
  StoreLe16(out, b.major);
  StoreLe16(out + 2, b.minor);
  out[4] = b.reserved[0];
  out[5] = b.reserved[1];
  StoreLe16(out + 6, b.build);
}

bool Decode(const uint8_t* in, size_t length, DriverVersionBlock* out) {
  if (in == nullptr || length != sizeof(DriverVersionBlock)) return false;
  *out = {LoadLe16(in), LoadLe16(in + 2), {in[4], in[5]}, LoadLe16(in + 6)};
  return true;
}

void Encode(const StringDescriptorRequest& b, uint8_t* out) {
  out[0] = b.index;
  out[1] = b.reserved;
  StoreLe16(out + 2, b.language_id);
}

bool Decode(const uint8_t* in, size_t length, StringDescriptorRequest* out) {
  if (in == nullptr || length != sizeof(StringDescriptorRequest)) return false;
  *out = {in[0], in[1], LoadLe16(in + 2)};
  return true;
}

}  // namespace vk
