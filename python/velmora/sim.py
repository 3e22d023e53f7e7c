"""The FSoE slave simulator: run a safety master against a simulated slave."""
