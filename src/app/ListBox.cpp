#include "app/ListBox.h"
