#include "main/driver.hpp"
