"""Helper layer of tavro: tool runner (rivo), connector generator (linkwell),
output describer (scopelet), LLM client (oraclet) and remote input fetcher (haulix)."""
