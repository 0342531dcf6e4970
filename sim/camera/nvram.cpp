#include "sim/camera/nvram.h"

#include <cstdio>
#include <fstream>

#include "common/byte_order.h"
#include "common/camera_protocol.h"

namespace vk::sim {

constexpr size_t kWords = 0x10000;

Nvram::Nvram(std::string file) : file_(std::move(file)), words_(kWords, 0xFFFF) {
  if (file_.empty()) return;
  std::ifstream in(file_, std::ios::binary);
  std::vector<uint8_t> bytes(kWords * 2);
  if (in.read(reinterpret_cast<char*>(bytes.data()), bytes.size())) {
    for (size_t i = 0; i < kWords; ++i) words_[i] = LoadLe16(&bytes[2 * i]);
  }
}

bool Nvram::Write(uint16_t address, uint16_t word) {
  if (address == nvram::kUnlock) {
    unlocked_ = word == nvram::kUnlockWord;
  } else if (nvram::InDeadPixelTable(address) && !unlocked_) {
    return false;
  }
  Poke(address, word);
  Persist();
  return true;
}

void Nvram::Poke(uint16_t address, uint16_t word) { words_[address] = word; }

// Written whole to a temporary file and renamed, so a crash never leaves a
// half-written memory image behind.
void Nvram::Persist() const {
  if (file_.empty()) return;
  std::vector<uint8_t> bytes(kWords * 2);
  for (size_t i = 0; i < kWords; ++i) StoreLe16(&bytes[2 * i], words_[i]);
  const std::string tmp = file_ + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!out) return;
  }
  std::rename(tmp.c_str(), file_.c_str());
}

}  // namespace vk::sim
