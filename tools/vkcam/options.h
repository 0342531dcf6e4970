// Command-line options of the vkcam tool: positional words and
// "--name value" pairs ("--name" alone means "on").
#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace vk::tools {

class Options {
 public:
  Options(int argc, char** argv, int first) {
    for (int i = first; i < argc; ++i) {
      const std::string word = argv[i];
      if (word.rfind("--", 0) != 0) {
        words_.push_back(word);
      } else if (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0) {
        named_[word.substr(2)] = argv[++i];
      } else {
        named_[word.substr(2)] = "on";
      }
    }
  }

  const std::vector<std::string>& words() const { return words_; }
  bool Has(const std::string& name) const { return named_.count(name) != 0; }
  std::string Text(const std::string& name, const std::string& otherwise) const {
    auto it = named_.find(name);
    return it == named_.end() ? otherwise : it->second;
  }
  double Number(const std::string& name, double otherwise) const {
    auto it = named_.find(name);
    return it == named_.end() ? otherwise : std::atof(it->second.c_str());
  }
  // "on"/"off", "1"/"0"; -1 when not given.
  int Switch(const std::string& name) const {
    auto it = named_.find(name);
    if (it == named_.end()) return -1;
    return it->second == "on" || it->second == "1" || it->second == "yes";
  }

 private:
  std::vector<std::string> words_;
  std::map<std::string, std::string> named_;
};

}  // namespace vk::tools
