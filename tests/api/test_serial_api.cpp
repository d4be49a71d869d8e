// The serial procedures through libkdx's C interface, as kdx-cli and other programs call them.

#include "tests/support/posix.h"
#include "tests/support/serial_fixture.h"

namespace kdx::test {
namespace {

struct Timeouts {
    uint32_t v[5];
};
struct State {
    int32_t Handle, Number;
    char Name[6];
    int32_t Baud, Poller;
};

class Serial_Api : public Sim_Port_Test {
  protected:
    void SetUp() override {
        Sim_Port_Test::SetUp();
        lib = dlopen(KDX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << dlerror();
    }
    void TearDown() override {
        if (lib) dlclose(lib);
        Sim_Port_Test::TearDown();
    }
    template <class F>
    F* Get(const char* name) {
        return reinterpret_cast<F*>(dlsym(lib, name));
    }
    void* lib = nullptr;
};

TEST_F(Serial_Api, ExchangeThroughTheCInterface) {
    Start_Sim();
    auto open = Get<int32_t(int32_t*, int32_t*)>("Serial_Port_Open");
    auto timeouts = Get<int32_t(int32_t*, Timeouts*)>("Serial_Port_Timeouts");
    auto write = Get<const char*(int32_t*, const char*, const int32_t*)>("Serial_Port_Write");
    auto wait = Get<int32_t(int32_t, uint32_t)>("Serial_Port_Wait_Input");
    auto read = Get<const char*(int32_t*, const int32_t*)>("Serial_Port_Read");
    auto length = Get<int32_t()>("Serial_Port_Read_Length");
    auto close = Get<int32_t(int32_t*)>("Serial_Port_Close");
    auto state_set = Get<int32_t(const State*)>("Serial_Port_State_Set");
    auto state_get = Get<int32_t(State*)>("Serial_Port_State_Get");
    auto error_check = Get<const char*(int32_t*)>("KDX_Error_Check");
    ASSERT_TRUE(open && timeouts && write && wait && read && length && close && state_set &&
                state_get && error_check);

    int32_t number = 5, baud = 57600;
    int32_t h = open(&number, &baud);
    ASSERT_GT(h, 0);
    Timeouts t{};
    EXPECT_EQ(timeouts(&h, &t), 1);
    EXPECT_EQ(t.v[0], 0xFFFFFFFFu);
    int32_t null_handle = 0;
    EXPECT_EQ(timeouts(nullptr, &t), timeouts(&null_handle, &t));

    State s{h, 5, "COM5", baud, 0};
    EXPECT_EQ(state_set(&s), 1);
    State back{};
    EXPECT_EQ(state_get(&back), 1);
    EXPECT_EQ(back.Handle, h);
    EXPECT_STREQ(back.Name, "COM5");

    sim->Send(std::string("A\0B", 3));
    ASSERT_EQ(wait(h, 5000), 1);
    std::string got;
    ASSERT_TRUE(Eventually([&] {
        const char* r = read(&h, nullptr);
        got += std::string(r, size_t(length()));
        return got.size() >= 3;
    }));
    EXPECT_EQ(got, std::string("A\0B", 3));  // the length carries the bytes after the zero

    EXPECT_STREQ(write(&h, "V", nullptr), "V");
    EXPECT_STREQ(error_check(&h), "F,getFAc");
    EXPECT_EQ(close(&h), 0);
    EXPECT_EQ(h, 0);
    // Null by-reference arguments are taken as 0: no call, no crash.
    EXPECT_EQ(open(nullptr, nullptr), 0);
    EXPECT_STREQ(read(nullptr, nullptr), "");
}

}  // namespace
}  // namespace kdx::test
