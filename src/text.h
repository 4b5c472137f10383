// text.h
#pragma once
