// The memory test's comparison of the program sent with the listing received.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "protocol/kdx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kdx;
    FuzzedDataProvider in(data, size);
    std::string sent = in.ConsumeRandomLengthString(4096);
    std::string listing = in.ConsumeRemainingBytesAsString();
    Listing_Comparison c = KDX_Compare_Listing(sent, listing);
    // A passed comparison has nothing unmatched and nothing missing.
    if (c.passed && (!c.unmatched.empty() || !c.missing.empty())) std::abort();
    std::string s = sent, l = listing;
    KDX_Tester_Commo_Fill_Memory_Compare_Strings(s, l);
    // The program listed back as the controller lists it always matches itself.
    std::string program = KDX_Test_Program(in.ConsumeIntegralInRange<int32_t>(1, 4));
    if (!KDX_Compare_Listing(program, "lst," + program + "\x04").passed) std::abort();
    return 0;
}
