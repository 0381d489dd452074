#include "site_map.hpp"
