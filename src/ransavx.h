// ransavx.h
#pragma once
