"""tavro: a composer of bioinformatics pipelines (helper layer and host stand-ins)."""
