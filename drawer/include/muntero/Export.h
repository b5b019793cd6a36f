// Symbols of the simulation library are hidden unless marked with MUNTERO_API.
#pragma once

#define MUNTERO_API __attribute__((visibility("default")))
