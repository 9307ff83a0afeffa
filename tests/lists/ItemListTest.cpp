#include "lists/ItemList.h"

#include <gtest/gtest.h>
