// ransavx.cpp
#include "ransavx.h"
