#include "repo/package_repo.h"

// The repository's update requirements are not evaluated yet: every
// requirement counts as met.
DependencySet PackageRepo::updateRequirements() const {
    return DependencySet();
}
