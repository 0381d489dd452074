#include "session.hpp"
