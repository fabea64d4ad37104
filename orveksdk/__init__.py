"""orveksdk: a forecasting tool for LangChain agents (``orveksdk.trend_kit``)
and a MySQL table loader (``orveksdk.tablescope``), both native extensions."""
