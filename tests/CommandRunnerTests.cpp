#include "CommandRunner.h"

#include <gtest/gtest.h>
