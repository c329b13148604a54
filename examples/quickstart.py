"""Quick start: the methods QuorBMF offers."""
import QuorBMF

print(f"QuorBMF {QuorBMF.__version__}")
print("solving methods:", ", ".join(QuorBMF.methods()))
