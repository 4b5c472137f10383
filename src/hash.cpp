// hash.cpp
#include "hash.h"
