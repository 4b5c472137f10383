// sort.h
#pragma once
