#include "compare/sessions.hpp"
