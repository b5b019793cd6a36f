// Symbols of the engine library are hidden unless marked with PELLAMY_API.
#pragma once

#define PELLAMY_API __attribute__((visibility("default")))
