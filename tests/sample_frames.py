"""Small inputs shared by the test modules."""
import pandas as pd


def frame_df():
    """The smallest frame ts_forecast fits: two days, two values."""
    return pd.DataFrame({"timestamp": ["2024-01-01", "2024-01-02"], "values": [1.0, 2.0]})
