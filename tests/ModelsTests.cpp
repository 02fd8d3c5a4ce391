#include "Models.h"

#include <gtest/gtest.h>
