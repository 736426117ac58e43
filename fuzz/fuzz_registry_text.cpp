// libFuzzer entry of one fuzz case (see fuzz/cases.h for what it runs and
// checks); the board is a temporary one of this process.
#include <string>

#include "fuzz/cases.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Board();
    std::string why = fuzz::RegistryTextCase(data, size);
    if (!why.empty())
        fuzz::Fail(why.c_str());
    return 0;
}
