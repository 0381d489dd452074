#include "classifier.hpp"
