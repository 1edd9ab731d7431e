#pragma once

// For tests: an argument vector the way main receives it, owning its words;
// word 0 is "prog", the given words follow.
#include <initializer_list>
#include <string>
#include <vector>

namespace qor {

class TestArgv {
  public:
    TestArgv(std::initializer_list<const char*> words)
        : TestArgv(std::vector<std::string>(words.begin(), words.end())) {}
    explicit TestArgv(const std::vector<std::string>& words) : words_{"prog"} {
        words_.insert(words_.end(), words.begin(), words.end());
        for (auto& w : words_) ptrs_.push_back(w.data());
        ptrs_.push_back(nullptr);
    }
    TestArgv(const TestArgv&) = delete;
    TestArgv& operator=(const TestArgv&) = delete;

    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return ptrs_.data(); }
    // All words, "prog" included.
    const std::vector<std::string>& words() const { return words_; }

  private:
    std::vector<std::string> words_;
    std::vector<char*> ptrs_;
};

}  // namespace qor
