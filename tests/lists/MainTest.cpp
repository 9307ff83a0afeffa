#include "lists/Main.h"

#include <gtest/gtest.h>
