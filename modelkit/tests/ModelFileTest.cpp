#include <modelkit/ModelFile.h>

#include <gtest/gtest.h>
