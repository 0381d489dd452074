// run
