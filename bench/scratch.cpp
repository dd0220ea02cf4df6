#include "scratch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace bench {

QuietScratch::QuietScratch()
{
    std::cout.flush();
    std::fflush(stdout);
    savedOutput_ = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
}

QuietScratch::~QuietScratch()
{
    std::fflush(stdout);
    dup2(savedOutput_, 1);
    close(savedOutput_);
}

}  // namespace bench
