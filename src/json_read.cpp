#include "json_read.hpp"
