"""A short forecast with orveksdk.trend_kit: the tool as LangChain runs it."""
import orveksdk.trend_kit as tk

payload = str({
    "data_input": {
        "date": ["2024-01-01", "January 2, 2024", "01/03/2024", "2024-01-04", "2024-01-05"],
        "values": [10, 12, 13, 15, 17],
    },
    "period": 5,
})
tool = tk.TrendKit()
print(f"tool {tool.name!r}, module {tk.__file__}")
print("payload:", payload)
print(tool.run(payload))
print("direct call:", tk.conv_date("March 5, 2024 14:30"))
