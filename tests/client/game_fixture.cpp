// The client end-to-end fixtures' shared parts: the environment every
// client inherits and the suite's display.
#include "tests/client/game_fixture.h"

namespace client_test {

// Every client a test starts inherits this environment. The test process
// adopts clients whose starter has ended, so their exit codes can be read.
class ClientEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QUASK_NONINTERACTIVE", "1", 1);
        setenv("LC_ALL", "C", 1);
        setenv("ALSOFT_DRIVERS", "null", 1);
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }
};
::testing::Environment* const g_clientEnv = ::testing::AddGlobalTestEnvironment(new ClientEnvironment);

}  // namespace client_test
