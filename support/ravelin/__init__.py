"""Stand-in for the outside base library `ravelin`: only what `pretrain` uses of it."""
