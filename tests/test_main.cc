#include <gtest/gtest.h>

#include "failure/lifecycle.h"

// The tests run with the failure services in place, as the tool's own logic does.
int main(int argc, char** argv) {
  tarnwick::start_up();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
