// featurecheck: prints the version of a feature that a platform instance's manifest records.
#include "featurecheck/feature_check.h"

int main(int argc, char** argv) {
  return rcpinstall::FeatureCheckMain(argc, argv);
}
