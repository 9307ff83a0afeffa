#include "listfiles/ListFiles.h"

#include <gtest/gtest.h>
