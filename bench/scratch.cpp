#include "scratch.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace bench {

QuietScratch::QuietScratch()
{
    char pattern[] = "/tmp/bench-XXXXXX";
    char cwd[PATH_MAX];
    if (mkdtemp(pattern) == nullptr || getcwd(cwd, sizeof cwd) == nullptr || chdir(pattern) != 0) {
        std::perror("scratch directory");
        std::abort();
    }
    dir_ = pattern;
    previous_ = cwd;
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
    if (chdir(previous_.c_str()) != 0)
        std::perror(previous_.c_str());
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

}  // namespace bench
