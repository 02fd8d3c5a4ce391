#include "DiagnosticsService.h"

#include <gtest/gtest.h>
