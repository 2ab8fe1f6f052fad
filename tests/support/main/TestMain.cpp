// The main of the test programs: GoogleTest's, with the bad-error reports recorded instead
// of shown (see ErrorReports.h).
#include <gtest/gtest.h>

#include "ErrorReports.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testutil::RecordErrorReports();
    return RUN_ALL_TESTS();
}
