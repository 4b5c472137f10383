// image.cpp
#include "image.h"
