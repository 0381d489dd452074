// source_cache
