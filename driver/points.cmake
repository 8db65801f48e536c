# point table
