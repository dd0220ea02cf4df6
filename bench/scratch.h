// A fresh scratch directory as the current directory, with standard output
// sent to /dev/null, for the life of the object: the program's log file and
// its console echo go there, not into the caller's directory or the
// benchmark's report.
#pragma once

#include <string>

namespace bench {

class QuietScratch {
public:
    QuietScratch();
    ~QuietScratch();
    QuietScratch(const QuietScratch &) = delete;
    QuietScratch &operator=(const QuietScratch &) = delete;

private:
    std::string dir_;
    std::string previous_;
    int savedOutput_ = -1;
};

}  // namespace bench
