# The types of kelvane._native, the package's native types beyond kelvane_core's.
