// text.cpp
#include "text.h"
