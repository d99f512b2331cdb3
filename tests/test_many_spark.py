"""The README's Spark recipe: `applyInPandas` over the ids, each group fitted with
`fit_many(..., engine="serial")`, gives fit_many's own table.

PySpark (about 500 MB, with a Java runtime) is not a test dependency: this runs where
it is installed (`pip install pyspark`, Java 17) and is skipped elsewhere.
"""

import importlib.util
import shutil
import sys

import numpy as np
import pytest

import korvanta
from many_panels import AIRLINE, mixed_panel

pytestmark = [
    pytest.mark.skipif(importlib.util.find_spec("pyspark") is None,
                       reason="pyspark is not installed (pip install pyspark; not a test "
                              "dependency: it is large)"),
    pytest.mark.skipif(shutil.which("java") is None, reason="Spark needs a Java runtime"),
    # PySpark 4 does not fully support pandas 3 yet: it says so, and its own conversion
    # code uses a keyword that pandas 3 deprecates.  The recipe itself works.
    pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas"),
    pytest.mark.filterwarnings("ignore:The copy keyword is deprecated"),
]
pd = pytest.importorskip("pandas")


SCHEMA = ("unique_id string, status string, message string, nobs long, llf double, "
          "aic double, bic double, `ma.L1` double, `ma.S.L12` double, sigma2 double")


def test_spark_recipe_gives_the_same_table(monkeypatch):
    from pyspark.sql import SparkSession

    def fit_group(pdf):
        # Defined here: Spark ships it to its workers by value, not by module name.
        summary, _ = korvanta.fit_many(pdf, *AIRLINE, engine="serial")
        return summary

    # Spark's Python workers run `python3` from PATH unless told: the test's own
    # interpreter is the one that has korvanta.
    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)
    data, _ = mixed_panel(gaps=True)
    data = data.drop(columns="x")
    spark = (SparkSession.builder.master("local[2]").appName("korvanta-fit-many")
             .config("spark.ui.enabled", "false")
             .config("spark.sql.session.timeZone", "UTC")
             .config("spark.executorEnv.KORVANTA_RS_NUM_THREADS", "1")
             .getOrCreate())
    try:
        sdf = spark.createDataFrame(data)
        got = sdf.groupBy("unique_id").applyInPandas(fit_group, schema=SCHEMA).toPandas()
    finally:
        spark.stop()
    expected = fit_group(data)
    got = got.set_index("unique_id").loc[expected.unique_id].reset_index()
    assert got.status.tolist() == expected.status.tolist()
    for column in ["llf", "aic", "bic", "ma.L1", "ma.S.L12", "sigma2"]:
        np.testing.assert_array_equal(got[column], expected[column])
