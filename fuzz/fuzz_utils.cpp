// libFuzzer target: the hex and split utilities and the frame builders.
#include <cstdio>
#include <cstdlib>

#include "FuzzChecks.hpp"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zcbfuzz::QuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string failure = zcbfuzz::CheckUtils(data, size);
    if (!failure.empty())
    {
        fprintf(stderr, "codec utility property broken: %s\n", failure.c_str());
        abort();
    }
    return 0;
}
