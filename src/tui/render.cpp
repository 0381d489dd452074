// render
