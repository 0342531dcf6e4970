// The camera's non-volatile memory: 16-bit words at byte addresses, erased to
// 0xFFFF, optionally persisted to a file. The dead-pixel table is writable
// only after the unlock word has been written to 0xFFFE.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vk::sim {

class Nvram {
 public:
  explicit Nvram(std::string file = {});

  uint16_t Read(uint16_t address) const { return words_[address]; }
  // False when the word is write-protected (nothing is stored).
  bool Write(uint16_t address, uint16_t word);
  void Lock() { unlocked_ = false; }
  // Stores without protection or persistence checks (test set-up).
  void Poke(uint16_t address, uint16_t word);

 private:
  void Persist() const;

  std::string file_;
  std::vector<uint16_t> words_;
  bool unlocked_ = false;
};

}  // namespace vk::sim
