// Symbols of the spectral library are hidden unless marked with OSTREL_API.
#pragma once

#define OSTREL_API __attribute__((visibility("default")))
