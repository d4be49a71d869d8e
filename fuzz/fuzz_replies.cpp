// The controller's replies as the parsers and cleaners take them, whatever the line brought.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "protocol/kdx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kdx;
    FuzzedDataProvider in(data, size);
    int32_t axis = in.ConsumeIntegralInRange<int32_t>(-1, 5);
    std::string tag = in.ConsumeRandomLengthString(16);
    std::string reply = in.ConsumeRemainingBytesAsString();

    std::string text = reply;
    KDX_Parse_Motor_ID(text);
    text = reply;
    KDX_Limit_Description(KDX_Parse_Limit_ID(text));
    for (Device_Part part : {Device_Part::Whole, Device_Part::Before_At, Device_Part::After_At})
        KDX_Clean_Device_Reply(reply, tag, part);
    KDX_Clean_Axis_Reply(reply, tag, axis);
    KDX_Status_Meaning(reply);
    KDX_Is_Status_Letter(reply);
    return 0;
}
