// mixed.cpp
#include "mixed.h"
