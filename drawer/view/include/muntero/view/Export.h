// Symbols of the drawer's window library are hidden unless marked with MUNTERO_VIEW_API.
#pragma once

#define MUNTERO_VIEW_API __attribute__((visibility("default")))
