// sort.cpp
#include "sort.h"
