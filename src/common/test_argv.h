#pragma once

// For unit tests: an argument vector that owns its words; word 0 is "prog".
#include <initializer_list>
#include <string>
#include <vector>

namespace qor {

class TestArgv {
  public:
    TestArgv(std::initializer_list<const char*> words) : words_{"prog"} {
        words_.insert(words_.end(), words.begin(), words.end());
        for (auto& w : words_) ptrs_.push_back(w.data());
        ptrs_.push_back(nullptr);
    }
    TestArgv(const TestArgv&) = delete;
    TestArgv& operator=(const TestArgv&) = delete;

    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return ptrs_.data(); }

  private:
    std::vector<std::string> words_;
    std::vector<char*> ptrs_;
};

}  // namespace qor
