#include "OtlpExporter.h"

#include <gtest/gtest.h>
