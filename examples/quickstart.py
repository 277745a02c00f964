import korvalinth
print("korvalinth", korvalinth.__version__)
