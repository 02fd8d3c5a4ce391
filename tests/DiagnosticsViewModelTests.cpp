#include "DiagnosticsViewModel.h"

#include <gtest/gtest.h>
