#include "report.hpp"
