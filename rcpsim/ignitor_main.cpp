#include "rcpsim/ignitor.h"

int main(int argc, char** argv) {
  return rcpinstall::rcpsim::IgnitorMain(argc, argv);
}
