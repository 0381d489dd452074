#include "main/args.hpp"
