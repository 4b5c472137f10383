// image.h
#pragma once
