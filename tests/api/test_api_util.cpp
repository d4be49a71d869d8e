// The helpers every exported wrapper is built from: the catch-all at the C boundary, the
// by-reference numbers and the bounded caller texts.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "api/api_util.h"

namespace {

using kdx::api::Bounded;
using kdx::api::Guard;
using kdx::api::Ref;

TEST(Api_Guard, ReturnsTheResultOrTheFallbackWhateverIsThrown) {
    EXPECT_EQ(Guard<int32_t>(-1, [] { return 7; }), 7);
    EXPECT_EQ(Guard<int32_t>(-1, []() -> int32_t { throw std::runtime_error("x"); }), -1);
    EXPECT_EQ(Guard<int64_t>(0, []() -> int64_t { throw 42; }), 0);
    EXPECT_STREQ(Guard<const char*>("", []() -> const char* { throw std::bad_alloc(); }), "");
    EXPECT_STREQ(Guard<const char*>("", [] { return "ok"; }), "ok");

    bool ran = false;
    Guard([&] { ran = true; });
    EXPECT_TRUE(ran);
    Guard([] { throw std::logic_error("swallowed"); });  // must not escape

    static_assert(noexcept(Guard<int32_t>(0, [] { return 0; })));
    static_assert(noexcept(Guard([] {})));
}

TEST(Api_Ref, NullCountsAsZeroAndTheCallerGetsTheFinalValueBack) {
    {
        Ref r(nullptr);
        EXPECT_EQ(r.value, 0);
        r.value = 9;  // nowhere to write: must not crash
    }

    int32_t handle = 12;
    {
        Ref h(&handle);
        EXPECT_EQ(h.value, 12);
        h.value = 0;  // e.g. a port closed
    }
    EXPECT_EQ(handle, 0);

    // The value may change before a failure: the caller still sees it.
    int32_t number = 3;
    EXPECT_EQ(Guard<int32_t>(-1,
                             [&]() -> int32_t {
                                 Ref n(&number);
                                 n.value = 5;
                                 throw std::runtime_error("after the change");
                             }),
              -1);
    EXPECT_EQ(number, 5);

    // Unchanged values are written back unchanged.
    int32_t baud = 57600;
    EXPECT_EQ(Guard<int32_t>(0,
                             [&] {
                                 Ref b(&baud);
                                 return b.value / 100;
                             }),
              576);
    EXPECT_EQ(baud, 57600);
}

TEST(Api_Bounded, StopsAtTheTerminatorOrTheCapacity) {
    const char text[] = {'a', 'b', 'c', 'd'};  // no terminator
    struct Case {
        const char* text;
        int32_t capacity;
        std::string expected;
    } cases[] = {
        {nullptr, 10, ""}, {"abc", 0, ""},    {"abc", -5, ""},  {"abc", 10, "abc"},
        {"abc", 2, "ab"},  {text, 4, "abcd"}, {text, 3, "abc"}, {"a\0bc", 4, "a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Bounded(c.text, c.capacity), c.expected)
            << (c.text ? c.text : "(null)") << " / " << c.capacity;
}

}  // namespace
