// aligned
