#include "rcpsim/sample_layout.h"

int main(int argc, char** argv) {
  return rcpinstall::rcpsim::RcpsimMain(argc, argv);
}
