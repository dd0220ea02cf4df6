// A fresh scratch directory as the current directory, with standard output
// sent to /dev/null, for the life of the object: the program's log file and
// its console echo go there, not into the caller's directory or the
// benchmark's report.
#pragma once

#include "hosttools/hosttools.h"

namespace bench {

class QuietScratch {
public:
    QuietScratch();
    ~QuietScratch();
    QuietScratch(const QuietScratch &) = delete;
    QuietScratch &operator=(const QuietScratch &) = delete;

private:
    hosttools::ScratchDir dir_{"bench"};
    hosttools::WorkingDirectory current_{dir_.Dir()};
    int savedOutput_ = -1;
};

}  // namespace bench
