// mixed.h
#pragma once
