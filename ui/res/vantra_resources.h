// The program's resources: what FindResourceW and LoadStringW find once the program has made
// this set its own with platform::SetProgramResources.
#pragma once

#include "platform/resources.h"

const platform::ResourceSet& VantraResources();
