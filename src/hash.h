// hash.h
#pragma once
