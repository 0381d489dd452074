// term
