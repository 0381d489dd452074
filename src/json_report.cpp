#include "json_report.hpp"
