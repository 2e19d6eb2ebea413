"""Builds a message for an order service and prints it as the library dumps it."""

import zelmsg

msg = zelmsg.ZelMsg()
msg.dest = zelmsg.Destination("orders/eu/new")
msg.reply2 = zelmsg.Destination("order-replies", zelmsg.Queue)
msg.delivery_mode = zelmsg.Persistent
msg.cos = 2
msg.json = {"order": 1042, "items": ["tea", "scones"], "paid": True}

print(repr(msg))
print("decoded payload:", msg.json)
